// The instruction sets a unit of SIMD code compiles.  A unit includes this
// header where it would include Highway's foreach_target.h (after defining
// HWY_TARGET_INCLUDE), and is re-included through it.
//
// By default the unit compiles every instruction set Highway targets here:
// foreach_target.h re-includes it once per set, and its dispatch table (the
// HWY_ONCE part) picks one at run time.  A build may instead compile the
// unit once per instruction set, each set an object of its own, so that the
// sets compile side by side and a build for one machine compiles only the
// sets it runs:
//
//   DISTRIBUTION_ONE_TARGET=HWY_AVX2  that set's kernels and entry points
//                                     alone, no dispatch table (HWY_ONCE 0);
//   DISTRIBUTION_DISPATCH             the dispatch table alone: the entry
//                                     point of every set in HWY_TARGETS is
//                                     declared, none is compiled.
//
// A set's object is its pass of foreach_target: the same source under the
// same HWY_TARGET, so the same code and the same bits, whichever other sets
// a build keeps.
#if defined(DISTRIBUTION_ONE_TARGET)
#ifndef DISTRIBUTION_SIMD_TARGETS_HPP
#define DISTRIBUTION_SIMD_TARGETS_HPP
#include <hwy/detect_targets.h>
#undef HWY_TARGET
#define HWY_TARGET DISTRIBUTION_ONE_TARGET
#undef HWY_ONCE
#define HWY_ONCE 0
#endif
#else
#include <hwy/foreach_target.h> // IWYU pragma: keep
#endif
