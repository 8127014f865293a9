// The loops of the interval probabilities, their gradient and the moments, for every
// instruction set (functions.hpp: the table; kernels.hpp: the kernels).
#define DISTRIBUTION_ACCURATE_UNIT intervals
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/accurate/intervals.cpp"
#include "../simd/targets.hpp"
#include <hwy/highway.h>

#include "kernels.hpp"
