// The arithmetic that every instruction set spells the same way but for its prefix (_mm,
// _mm256, _mm512): written once, and given to each set's lanes struct by the macros below
// inside it, where `levels` names its register of doubles and `keys` its register of floats.
#ifndef AGREEMENT_SWEEP_LANES_ARITH_H
#define AGREEMENT_SWEEP_LANES_ARITH_H

#include <cstdint>

// clang-format off
#define LANES_LEVEL_ARITHMETIC(P)                                                          \
    static levels set(double x) { return P##_set1_pd(x); }                                 \
    static levels load(const double *p) { return P##_load_pd(p); }                         \
    static void store(double *p, levels x) { P##_storeu_pd(p, x); }                        \
    static levels add(levels a, levels b) { return P##_add_pd(a, b); }                     \
    static levels sub(levels a, levels b) { return P##_sub_pd(a, b); }                     \
    static levels mul(levels a, levels b) { return P##_mul_pd(a, b); }                     \
    static levels div(levels a, levels b) { return P##_div_pd(a, b); }                     \
    static levels sqrt(levels a) { return P##_sqrt_pd(a); }                                \
    static levels min(levels a, levels b) { return P##_min_pd(a, b); }                     \
    static levels max(levels a, levels b) { return P##_max_pd(a, b); }                     \
    static keys key_min(keys a, keys b) { return P##_min_ps(a, b); }                       \
    static keys key_max(keys a, keys b) { return P##_max_ps(a, b); }
// clang-format on

// The same for registers of 32-bit words, where `words` names the register and SI the
// whole-register suffix (si128, si256, si512).
// clang-format off
#define LANES_WORD_ARITHMETIC(P, SI)                                                       \
    static words set_words(std::uint32_t x) { return P##_set1_epi32(static_cast<int>(x)); } \
    static words load_words(const std::uint32_t *p)                                        \
    { return P##_loadu_##SI(reinterpret_cast<const words *>(p)); }                         \
    static void store_words(std::uint32_t *p, words x)                                     \
    { P##_storeu_##SI(reinterpret_cast<words *>(p), x); }                                  \
    static words xor_words(words a, words b) { return P##_xor_##SI(a, b); }                \
    static words and_words(words a, words b) { return P##_and_##SI(a, b); }                \
    static words or_words(words a, words b) { return P##_or_##SI(a, b); }                  \
    static words and_not_words(words a, words b) { return P##_andnot_##SI(a, b); }         \
    static words add_words(words a, words b) { return P##_add_epi32(a, b); }               \
    template <int N> static words shift_right(words a) { return P##_srli_epi32(a, N); }   \
    static words key_bits(keys k) { return P##_castps_##SI(k); }                          \
    /* Lane-wise a * b for values below 2^15 in each lane's low half, the high half 0. */  \
    static words multiply_small(words a, words b) { return P##_madd_epi16(a, b); }
// clang-format on

// Lane choices as registers of their own kind where the instruction set has no mask
// registers: a word choice all ones or all zeros; a level choice as much of that as the set's
// select reads (all of it on SSE2, the top bit on AVX2).
// clang-format off
#define LANES_WORD_CHOICES(P, SI)                                                          \
    typedef levels choice;      /* a lane chosen, as its select reads it */                \
    typedef words word_choice;                                                             \
    static word_choice equal_words(words a, words b) { return P##_cmpeq_epi32(a, b); }     \
    static word_choice any_of(word_choice a, word_choice b) { return P##_or_##SI(a, b); }  \
    /* counts + 1 where x isn't 0: counts + 1 + (x == 0), whose all ones are -1. */         \
    static words count_nonzero(words counts, words x)                                      \
    { return P##_add_epi32(P##_add_epi32(counts, P##_set1_epi32(1)),                       \
                           P##_cmpeq_epi32(x, P##_setzero_##SI())); }
// clang-format on

#endif
