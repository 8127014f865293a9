// The loops of the values, logarithms and quantiles, for every
// instruction set (functions.hpp: the table; kernels.hpp: the kernels).
#define DISTRIBUTION_ACCURATE_UNIT values
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/accurate/values.cpp"
#include "../simd/targets.hpp"
#include <hwy/highway.h>

#include "kernels.hpp"
