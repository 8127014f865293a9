// The loops of the second derivatives of log pdf and of the log probability
// of an interval, for every instruction set (functions.hpp: the table;
// kernels.hpp: the kernels).
#define DISTRIBUTION_ACCURATE_UNIT hessians
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/accurate/hessians.cpp"
#include "../simd/targets.hpp"
#include <hwy/highway.h>

#include "kernels.hpp"
