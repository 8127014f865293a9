// The loops of the gradients of the values and logarithms, for every
// instruction set (functions.hpp: the table; kernels.hpp: the kernels).
#define DISTRIBUTION_ACCURATE_UNIT gradients
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/accurate/gradients.cpp"
#include "../simd/targets.hpp"
#include <hwy/highway.h>

#include "kernels.hpp"
