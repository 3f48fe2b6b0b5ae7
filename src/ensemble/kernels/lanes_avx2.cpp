// The seed kernel on AVX2 with FMA: eight seeds to a register in the masks phase, eight
// passes to a register in the coupled phase. Built with -mavx2 -mfma (or /arch:AVX2) and
// called only where the processor has both.
#if !defined(__AVX2__) || !defined(__FMA__)
#error "this file must be built for AVX2 and FMA"
#endif
#include <immintrin.h>

#define LANES_NAMESPACE lanes_avx2
#include "lanes_kernel.h"
#include "synth.h"

namespace LANES_NAMESPACE {

struct avx2_lanes {
    static constexpr int WIDTH = 8;  // passes per group: 32-bit lanes of a register
    static constexpr int GROUPS = 2; // groups run together
    // Registers of seeds in the masks phase: one, as two need more than the 16 registers and
    // their spills cost more than the generator latency they hide.
    static constexpr int MASK_SETS = 1;
    typedef __m256d levels;
    typedef __m256i words;
    typedef __m256 keys;

    // The arithmetic on registers of doubles, and the keys' order.
    static levels set(double x) { return _mm256_set1_pd(x); }
    static levels load(const double *p) { return _mm256_load_pd(p); }
    static void store(double *p, levels x) { _mm256_storeu_pd(p, x); }
    static levels add(levels a, levels b) { return _mm256_add_pd(a, b); }
    static levels sub(levels a, levels b) { return _mm256_sub_pd(a, b); }
    static levels mul(levels a, levels b) { return _mm256_mul_pd(a, b); }
    static levels div(levels a, levels b) { return _mm256_div_pd(a, b); }
    static levels sqrt(levels a) { return _mm256_sqrt_pd(a); }
    static levels min(levels a, levels b) { return _mm256_min_pd(a, b); }
    static levels max(levels a, levels b) { return _mm256_max_pd(a, b); }
    static keys key_min(keys a, keys b) { return _mm256_min_ps(a, b); }
    static keys key_max(keys a, keys b) { return _mm256_max_ps(a, b); }
    // The arithmetic on registers of 32-bit words.
    static words set_words(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
    static words load_words(const std::uint32_t *p)
    {
        return _mm256_loadu_si256(reinterpret_cast<const words *>(p));
    }
    static void store_words(std::uint32_t *p, words x)
    {
        _mm256_storeu_si256(reinterpret_cast<words *>(p), x);
    }
    static words xor_words(words a, words b) { return _mm256_xor_si256(a, b); }
    static words and_words(words a, words b) { return _mm256_and_si256(a, b); }
    static words or_words(words a, words b) { return _mm256_or_si256(a, b); }
    static words and_not_words(words a, words b) { return _mm256_andnot_si256(a, b); }
    static words add_words(words a, words b) { return _mm256_add_epi32(a, b); }
    template <int N> static words shift_right(words a) { return _mm256_srli_epi32(a, N); }
    static words key_bits(keys k) { return _mm256_castps_si256(k); }
    // Lane-wise a * b for values below 2^15 in each lane's low half, the high half 0.
    static words multiply_small(words a, words b) { return _mm256_madd_epi16(a, b); }
    // Lane choices as registers: a word choice all ones or all zeros; a level choice as much
    // of that as select reads.
    typedef levels choice;
    typedef words word_choice;
    static word_choice equal_words(words a, words b) { return _mm256_cmpeq_epi32(a, b); }
    static word_choice any_of(word_choice a, word_choice b) { return _mm256_or_si256(a, b); }
    // counts + 1 where x isn't 0: counts + 1 + (x == 0), whose all ones are -1.
    static words count_nonzero(words counts, words x)
    {
        return _mm256_add_epi32(_mm256_add_epi32(counts, _mm256_set1_epi32(1)),
                                _mm256_cmpeq_epi32(x, _mm256_setzero_si256()));
    }
    // By the top bit of each lane of the choice, the only one a blend reads.
    static levels select(choice mask, levels if_set, levels if_clear)
    {
        return _mm256_blendv_pd(if_clear, if_set, mask);
    }
    static levels positive_or_zero(levels test, levels x)
    {
        return _mm256_and_pd(_mm256_cmp_pd(test, _mm256_setzero_pd(), _CMP_GT_OQ), x);
    }

    // x / 32767, correctly rounded, without the divider. With y = RN(1/32767) =
    // 2^-15 (1 + 2^-15 + 2^-30 + 2^-45), whose relative error is below 2^-59, q = RN(x y)
    // lies within one ulp of x / 32767; e = x - 32767 q is then exact and computed exactly by
    // the fused multiply-add, and RN(q + e y) is the correctly rounded quotient RN(x / 32767)
    // (Markstein's theorem: y within half an ulp of 1/b, q within one ulp of x/b, no
    // overflow or underflow, which levels between about 1e-300 and 1e300 never come near).
    // A zero quotient here is +0, even where x is -0, which is all the levels need: they only
    // add it to a base that isn't -0, where either zero gives the same sum.
    static levels divide_by_random_max_unsigned_zero(levels x)
    {
        const levels reciprocal = _mm256_set1_pd(1.0 / RANDOM_SCALE);
        const levels q = _mm256_mul_pd(x, reciprocal);
        const levels e = _mm256_fnmadd_pd(q, _mm256_set1_pd(RANDOM_SCALE), x);
        return _mm256_fmadd_pd(e, reciprocal, q);
    }
    // The quotient as the division gives it, the sign of a zero one too.
    static levels divide_by_random_max(levels x)
    {
        return _mm256_or_pd(divide_by_random_max_unsigned_zero(x),
                            _mm256_and_pd(x, _mm256_set1_pd(-0.0)));
    }

    // One draw in every lane, as doubles: lanes 0 .. 3 in r[0], 4 .. 7 in r[1].
    static void draw(words *state, levels *r)
    {
        *state = _mm256_add_epi32(
            _mm256_mullo_epi32(*state, _mm256_set1_epi32(static_cast<int>(RANDOM_MULTIPLIER))),
            _mm256_set1_epi32(static_cast<int>(RANDOM_INCREMENT)));
        const __m256i raw =
            _mm256_and_si256(_mm256_srli_epi32(*state, 16), _mm256_set1_epi32(RANDOM_MAX));
        r[0] = _mm256_cvtepi32_pd(_mm256_castsi256_si128(raw));
        r[1] = _mm256_cvtepi32_pd(_mm256_extracti128_si256(raw, 1));
    }

    // Each lane's sign bit as a choice, in the draws' lane order: the top bit of each 64-bit
    // lane, all that the blends look at.
    static void spread_signs(words x, choice *mask)
    {
        mask[0] = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(x)));
        mask[1] = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(x, 1)));
    }

    // Eight codes, truncated, as keys: (code << 7) + add.
    static void store_keys(std::uint32_t *p, levels first, levels second, std::uint32_t add)
    {
        const __m256i codes =
            _mm256_set_m128i(_mm256_cvttpd_epi32(second), _mm256_cvttpd_epi32(first));
        _mm256_store_si256(reinterpret_cast<__m256i *>(p),
                           _mm256_add_epi32(_mm256_slli_epi32(codes, 7),
                                            _mm256_set1_epi32(static_cast<int>(add))));
    }

    // The masks phase's word operations.
    static words multiply_low(words a, words b) { return _mm256_mullo_epi32(a, b); }
    static words multiply_high_u16(words a, words b) { return _mm256_mulhi_epu16(a, b); }
    static words select_words(word_choice mask, words a, words b)
    {
        return _mm256_blendv_epi8(b, a, mask);
    }
    static unsigned lane_bits(word_choice mask)
    {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(mask)));
    }
    // The step index's bit in flag word w: a shift of 32 or more, or a negative one read as
    // unsigned, leaves no bit, so only the index's own word gets one.
    static words index_bit(words index, int w)
    {
        return _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(0x80000000U)),
                                 _mm256_sub_epi32(index, _mm256_set1_epi32(32 * w)));
    }
};

} // namespace LANES_NAMESPACE

extern const kernel_isa AVX2_ISA =
    LANES_NAMESPACE::isa_entry<LANES_NAMESPACE::avx2_lanes>("avx2", CPU_AVX2 | CPU_FMA);
