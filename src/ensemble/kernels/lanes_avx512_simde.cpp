// The AVX-512 kernel's source through SIMDe's portable forms of its instructions: a file of
// its own, so that the build gives it its own options beside the native kernel's.
#define AGREEMENT_ENSEMBLE_AVX512_EMULATED 1
#include "lanes_avx512.cpp" // NOLINT(bugprone-suspicious-include): the same kernel, built again
