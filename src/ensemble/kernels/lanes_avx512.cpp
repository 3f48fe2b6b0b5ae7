// The seed kernel on AVX-512 (F, BW, DQ and VL) with FMA: sixteen seeds to a register in the
// masks phase; in the coupled phase sixteen passes to a register of keys and eight to a
// register of doubles, the lanes' choices in mask registers. Built with the AVX-512 and FMA
// flags and called only where the processor has them.
//
// Built again as lanes_avx512_simde.cpp (AGREEMENT_ENSEMBLE_AVX512_EMULATED), the same source
// runs through SIMDe's portable forms of the same instructions, so that the kernel is held
// against the plain run on processors without AVX-512 too: the tests build it so, and so does
// a build configured with AGREEMENT_ENSEMBLE_EMULATE_AVX512, in place of the native one.
#include "seed_lanes.h"
#if defined(AGREEMENT_ENSEMBLE_AVX512_EMULATED)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <cmath>
// SIMDe 0.7.4 gives this alias the masked form's four arguments: the instruction's own name
// is mended here, as the native file spells it.
#undef _mm512_madd_epi16
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#define _mm512_madd_epi16(a, b) simde_mm512_madd_epi16(a, b)
// Its mask types keep their own names where the compiler has none (ARM).
typedef simde__mmask8 lane_mask8;
typedef simde__mmask16 lane_mask16;
#define LANES_NAMESPACE lanes_avx512_emulated
#else
#if !defined(__AVX512F__) || !defined(__AVX512BW__) || !defined(__AVX512DQ__) ||                   \
    !defined(__AVX512VL__) || !defined(__FMA__)
#error "this file must be built for AVX-512 F, BW, DQ and VL, and FMA"
#endif
#include <immintrin.h>
typedef __mmask8 lane_mask8;
typedef __mmask16 lane_mask16;
#define LANES_NAMESPACE lanes_avx512
#endif

#include "lanes_kernel.h"
#include "synth.h"

namespace LANES_NAMESPACE {

// Three instructions SIMDe has no 512-bit form of, and the fused multiply-add, which it
// rounds twice where the processor it runs on has no FMA: in the emulation, written over
// the 256-bit halves it has and over std::fma, which rounds once everywhere.
#if defined(AGREEMENT_ENSEMBLE_AVX512_EMULATED)
inline __m512d words_to_levels(__m256i x)
{
    return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_cvtepi32_pd(_mm256_castsi256_si128(x))),
                              _mm256_cvtepi32_pd(_mm256_extracti128_si256(x, 1)), 1);
}
inline __m256i truncate_to_words(__m512d x)
{
    return _mm256_set_m128i(_mm256_cvttpd_epi32(_mm512_extractf64x4_pd(x, 1)),
                            _mm256_cvttpd_epi32(_mm512_castpd512_pd256(x)));
}
inline __m512i high_products_u16(__m512i a, __m512i b)
{
    const __m256i low = _mm256_mulhi_epu16(_mm512_castsi512_si256(a), _mm512_castsi512_si256(b));
    const __m256i high =
        _mm256_mulhi_epu16(_mm512_extracti64x4_epi64(a, 1), _mm512_extracti64x4_epi64(b, 1));
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}
// a * b + c, and c - a * b, each rounded once.
inline __m512d fused(__m512d a, __m512d b, __m512d c, bool negated)
{
    alignas(64) double x[8];
    alignas(64) double y[8];
    alignas(64) double z[8];
    _mm512_store_pd(x, a);
    _mm512_store_pd(y, b);
    _mm512_store_pd(z, c);
    for (int i = 0; i < 8; ++i) {
        z[i] = std::fma(negated ? -x[i] : x[i], y[i], z[i]);
    }
    return _mm512_load_pd(z);
}
inline __m512d multiply_add(__m512d a, __m512d b, __m512d c)
{
    return fused(a, b, c, false);
}
inline __m512d negated_multiply_add(__m512d a, __m512d b, __m512d c)
{
    return fused(a, b, c, true);
}
#else
inline __m512d words_to_levels(__m256i x)
{
    return _mm512_cvtepi32_pd(x);
}
inline __m256i truncate_to_words(__m512d x)
{
    return _mm512_cvttpd_epi32(x);
}
inline __m512i high_products_u16(__m512i a, __m512i b)
{
    return _mm512_mulhi_epu16(a, b);
}
inline __m512d multiply_add(__m512d a, __m512d b, __m512d c)
{
    return _mm512_fmadd_pd(a, b, c);
}
inline __m512d negated_multiply_add(__m512d a, __m512d b, __m512d c)
{
    return _mm512_fnmadd_pd(a, b, c);
}
#endif

struct avx512_lanes {
    static constexpr int WIDTH = 16;    // passes per group: 32-bit lanes of a register
    static constexpr int GROUPS = 2;    // groups run together
    static constexpr int MASK_SETS = 2; // registers of seeds in the masks phase
    typedef __m512d levels;
    typedef __m512i words;
    typedef __m512 keys;
    typedef lane_mask8 choice;       // a bit per lane of doubles
    typedef lane_mask16 word_choice; // a bit per lane of words

    // The arithmetic on registers of doubles, and the keys' order.
    static levels set(double x) { return _mm512_set1_pd(x); }
    static levels load(const double *p) { return _mm512_load_pd(p); }
    static void store(double *p, levels x) { _mm512_storeu_pd(p, x); }
    static levels add(levels a, levels b) { return _mm512_add_pd(a, b); }
    static levels sub(levels a, levels b) { return _mm512_sub_pd(a, b); }
    static levels mul(levels a, levels b) { return _mm512_mul_pd(a, b); }
    static levels div(levels a, levels b) { return _mm512_div_pd(a, b); }
    static levels sqrt(levels a) { return _mm512_sqrt_pd(a); }
    static levels min(levels a, levels b) { return _mm512_min_pd(a, b); }
    static levels max(levels a, levels b) { return _mm512_max_pd(a, b); }
    static keys key_min(keys a, keys b) { return _mm512_min_ps(a, b); }
    static keys key_max(keys a, keys b) { return _mm512_max_ps(a, b); }
    // The arithmetic on registers of 32-bit words.
    static words set_words(std::uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }
    static words load_words(const std::uint32_t *p)
    {
        return _mm512_loadu_si512(reinterpret_cast<const words *>(p));
    }
    static void store_words(std::uint32_t *p, words x)
    {
        _mm512_storeu_si512(reinterpret_cast<words *>(p), x);
    }
    static words xor_words(words a, words b) { return _mm512_xor_si512(a, b); }
    static words and_words(words a, words b) { return _mm512_and_si512(a, b); }
    static words or_words(words a, words b) { return _mm512_or_si512(a, b); }
    static words and_not_words(words a, words b) { return _mm512_andnot_si512(a, b); }
    static words add_words(words a, words b) { return _mm512_add_epi32(a, b); }
    template <int N> static words shift_right(words a) { return _mm512_srli_epi32(a, N); }
    static words key_bits(keys k) { return _mm512_castps_si512(k); }
    // Lane-wise a * b for values below 2^15 in each lane's low half, the high half 0.
    static words multiply_small(words a, words b) { return _mm512_madd_epi16(a, b); }

    static levels select(choice mask, levels if_set, levels if_clear)
    {
        return _mm512_mask_blend_pd(mask, if_clear, if_set);
    }
    static levels positive_or_zero(levels test, levels x)
    {
        return _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(test, _mm512_setzero_pd(), _CMP_GT_OQ), x);
    }

    // x / 32767, correctly rounded, without the divider, by the AVX2 path's argument: q =
    // RN(x y) with y = RN(1/32767) lies within one ulp of x / 32767, e = x - 32767 q is
    // exact and computed exactly by the fused multiply-add, and RN(q + e y) is RN(x / 32767).
    // A zero quotient here is +0, even where x is -0, as on the AVX2 path.
    static levels divide_by_random_max_unsigned_zero(levels x)
    {
        const levels reciprocal = _mm512_set1_pd(1.0 / RANDOM_SCALE);
        const levels q = _mm512_mul_pd(x, reciprocal);
        const levels e = negated_multiply_add(q, _mm512_set1_pd(RANDOM_SCALE), x);
        return multiply_add(e, reciprocal, q);
    }
    // The quotient as the division gives it, the sign of a zero one too.
    static levels divide_by_random_max(levels x)
    {
        return _mm512_or_pd(divide_by_random_max_unsigned_zero(x),
                            _mm512_and_pd(x, _mm512_set1_pd(-0.0)));
    }

    // One draw in every lane, as doubles: lanes 0 .. 7 in r[0], 8 .. 15 in r[1].
    static void draw(words *state, levels *r)
    {
        *state = _mm512_add_epi32(
            _mm512_mullo_epi32(*state, _mm512_set1_epi32(static_cast<int>(RANDOM_MULTIPLIER))),
            _mm512_set1_epi32(static_cast<int>(RANDOM_INCREMENT)));
        const __m512i raw =
            _mm512_and_si512(_mm512_srli_epi32(*state, 16), _mm512_set1_epi32(RANDOM_MAX));
        r[0] = words_to_levels(_mm512_castsi512_si256(raw));
        r[1] = words_to_levels(_mm512_extracti64x4_epi64(raw, 1));
    }

    // Each lane's sign bit as a choice, in the draws' lane order.
    static void spread_signs(words x, choice *mask)
    {
        const word_choice signs = _mm512_movepi32_mask(x);
        mask[0] = static_cast<choice>(signs & 0xFFU);
        mask[1] = static_cast<choice>(signs >> 8);
    }

    // Sixteen codes, truncated, as keys: (code << 7) + add.
    static void store_keys(std::uint32_t *p, levels first, levels second, std::uint32_t add)
    {
        const __m512i codes = _mm512_inserti64x4(_mm512_castsi256_si512(truncate_to_words(first)),
                                                 truncate_to_words(second), 1);
        _mm512_store_si512(p, _mm512_add_epi32(_mm512_slli_epi32(codes, 7),
                                               _mm512_set1_epi32(static_cast<int>(add))));
    }

    // The masks phase's word operations.
    static words multiply_low(words a, words b) { return _mm512_mullo_epi32(a, b); }
    static words multiply_high_u16(words a, words b) { return high_products_u16(a, b); }
    static word_choice equal_words(words a, words b) { return _mm512_cmpeq_epi32_mask(a, b); }
    static word_choice any_of(word_choice a, word_choice b)
    {
        return static_cast<word_choice>(a | b);
    }
    static words count_nonzero(words counts, words x)
    {
        return _mm512_mask_add_epi32(counts, _mm512_test_epi32_mask(x, x), counts,
                                     _mm512_set1_epi32(1));
    }
    static words select_words(word_choice mask, words a, words b)
    {
        return _mm512_mask_blend_epi32(mask, b, a);
    }
    static unsigned lane_bits(word_choice mask) { return mask; }
    // The step index's bit in flag word w: a shift of 32 or more, or a negative one read as
    // unsigned, leaves no bit, so only the index's own word gets one.
    static words index_bit(words index, int w)
    {
        return _mm512_srlv_epi32(_mm512_set1_epi32(static_cast<int>(0x80000000U)),
                                 _mm512_sub_epi32(index, _mm512_set1_epi32(32 * w)));
    }
};

} // namespace LANES_NAMESPACE

#if defined(AGREEMENT_ENSEMBLE_AVX512_EMULATED)
// Runs on whatever this file was built for: on x86-64, AVX2 and FMA; elsewhere, anything.
#if defined(__AVX2__) && defined(__FMA__)
constexpr unsigned SIMDE_NEEDS = CPU_AVX2 | CPU_FMA;
#else
constexpr unsigned SIMDE_NEEDS = 0U;
#endif
extern const kernel_isa AVX512_SIMDE_ISA =
    LANES_NAMESPACE::isa_entry<LANES_NAMESPACE::avx512_lanes>("avx512-simde", SIMDE_NEEDS);
#else
extern const kernel_isa AVX512_ISA = LANES_NAMESPACE::isa_entry<LANES_NAMESPACE::avx512_lanes>(
    "avx512", CPU_AVX2 | CPU_FMA | CPU_AVX512F | CPU_AVX512BW | CPU_AVX512DQ | CPU_AVX512VL);
#endif
