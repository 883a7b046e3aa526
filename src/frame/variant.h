// The vocabulary kernels are written in, from the build being compiled.
//
// Every kernel source is compiled once per build of VOCETTA_BUILDS (include/vocetta/vocetta.h),
// and the build's target names the one header that is its whole difference from the others
// (frame/builds/<build>.h, passed as VOCETTA_BUILD_HEADER). Everything a kernel defines lives in
// the namespace Vocetta::VOCETTA_VARIANT, the build's name: keeping each build's code in its own
// namespace is what stops the linker from merging an inline function of the AVX2 build into the
// SSE2 path (the build checks that no weak symbol escapes it).
//
// Kernels see only this vocabulary: kLanes and kFilterVectors, the Floats vector with its
// operators, the vector and scalar SLEEF functions, and the rounding helpers.
#pragma once

#ifndef VOCETTA_BUILD_HEADER
#error "compile kernels through the vocetta_<build> targets, which name their build's header"
#endif

#include VOCETTA_BUILD_HEADER
