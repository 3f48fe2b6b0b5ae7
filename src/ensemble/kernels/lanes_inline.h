// How the seed kernels ask the compiler to lay out their loops: the networks' and the
// moments' loops have fixed bounds and are unrolled whole, so that every key and sum stays in
// a register; a set's code is inlined into its loop; the phases stay out of each other, as
// the sort's keys need every register.
#ifndef AGREEMENT_SWEEP_LANES_INLINE_H
#define AGREEMENT_SWEEP_LANES_INLINE_H

#if defined(__GNUC__) || defined(__clang__)
#define LANES_UNROLLED _Pragma("GCC unroll 16")
#define LANES_NOINLINE __attribute__((noinline))
#define LANES_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define LANES_UNROLLED
#define LANES_NOINLINE __declspec(noinline)
#define LANES_INLINE __forceinline
#else
#define LANES_UNROLLED
#define LANES_NOINLINE
#define LANES_INLINE inline
#endif

#endif
