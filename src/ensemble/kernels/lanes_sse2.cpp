// The seed kernel on SSE2, which every x86-64 processor has and every 32-bit x86 build of the
// program needs (its doubles are computed there, not on the x87 unit): four passes to a
// register of words, two to a register of doubles. SSE2 has no fused multiply-add, so a
// draw's share of its step is the divider's quotient, which is the same double as the AVX2
// path's. The masks phase runs four seeds to a register, as the AVX2 path runs eight.
#if !defined(__SSE2__) && !defined(_M_X64)
#error "this file must be built for SSE2"
#endif
#include <emmintrin.h>

#define LANES_NAMESPACE lanes_sse2
#include "lanes_kernel.h"
#include "synth.h"

namespace LANES_NAMESPACE {

struct sse2_lanes {
    static constexpr int WIDTH = 4;
    static constexpr int GROUPS = 2;
    static constexpr int MASK_SETS = 4; // registers of seeds in the masks phase
    typedef __m128d levels;
    typedef __m128i words;
    typedef __m128 keys;

    // The arithmetic on registers of doubles, and the keys' order.
    static levels set(double x) { return _mm_set1_pd(x); }
    static levels load(const double *p) { return _mm_load_pd(p); }
    static void store(double *p, levels x) { _mm_storeu_pd(p, x); }
    static levels add(levels a, levels b) { return _mm_add_pd(a, b); }
    static levels sub(levels a, levels b) { return _mm_sub_pd(a, b); }
    static levels mul(levels a, levels b) { return _mm_mul_pd(a, b); }
    static levels div(levels a, levels b) { return _mm_div_pd(a, b); }
    static levels sqrt(levels a) { return _mm_sqrt_pd(a); }
    static levels min(levels a, levels b) { return _mm_min_pd(a, b); }
    static levels max(levels a, levels b) { return _mm_max_pd(a, b); }
    static keys key_min(keys a, keys b) { return _mm_min_ps(a, b); }
    static keys key_max(keys a, keys b) { return _mm_max_ps(a, b); }
    // The arithmetic on registers of 32-bit words.
    static words set_words(std::uint32_t x) { return _mm_set1_epi32(static_cast<int>(x)); }
    static words load_words(const std::uint32_t *p)
    {
        return _mm_loadu_si128(reinterpret_cast<const words *>(p));
    }
    static void store_words(std::uint32_t *p, words x)
    {
        _mm_storeu_si128(reinterpret_cast<words *>(p), x);
    }
    static words xor_words(words a, words b) { return _mm_xor_si128(a, b); }
    static words and_words(words a, words b) { return _mm_and_si128(a, b); }
    static words or_words(words a, words b) { return _mm_or_si128(a, b); }
    static words and_not_words(words a, words b) { return _mm_andnot_si128(a, b); }
    static words add_words(words a, words b) { return _mm_add_epi32(a, b); }
    template <int N> static words shift_right(words a) { return _mm_srli_epi32(a, N); }
    static words key_bits(keys k) { return _mm_castps_si128(k); }
    // Lane-wise a * b for values below 2^15 in each lane's low half, the high half 0.
    static words multiply_small(words a, words b) { return _mm_madd_epi16(a, b); }
    // Lane choices as registers: a word choice all ones or all zeros; a level choice as much
    // of that as select reads.
    typedef levels choice;
    typedef words word_choice;
    static word_choice equal_words(words a, words b) { return _mm_cmpeq_epi32(a, b); }
    static word_choice any_of(word_choice a, word_choice b) { return _mm_or_si128(a, b); }
    // counts + 1 where x isn't 0: counts + 1 + (x == 0), whose all ones are -1.
    static words count_nonzero(words counts, words x)
    {
        return _mm_add_epi32(_mm_add_epi32(counts, _mm_set1_epi32(1)),
                             _mm_cmpeq_epi32(x, _mm_setzero_si128()));
    }
    static levels select(choice mask, levels if_set, levels if_clear)
    {
        return _mm_or_pd(_mm_and_pd(mask, if_set), _mm_andnot_pd(mask, if_clear));
    }
    static levels positive_or_zero(levels test, levels x)
    {
        return _mm_and_pd(_mm_cmpgt_pd(test, _mm_setzero_pd()), x);
    }
    static levels divide_by_random_max(levels x)
    {
        return _mm_div_pd(x, _mm_set1_pd(RANDOM_SCALE));
    }
    static levels divide_by_random_max_unsigned_zero(levels x) { return divide_by_random_max(x); }

    // The low 32 bits of each lane's product: SSE2 multiplies the even lanes and the odd
    // lanes into 64-bit products, which are then put back together.
    static words multiply_low(words a, words b)
    {
        const __m128i even = _mm_mul_epu32(a, b);
        const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
        return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                                  _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
    }

    static void draw(words *state, levels *r)
    {
        *state =
            _mm_add_epi32(multiply_low(*state, _mm_set1_epi32(static_cast<int>(RANDOM_MULTIPLIER))),
                          _mm_set1_epi32(static_cast<int>(RANDOM_INCREMENT)));
        const __m128i raw = _mm_and_si128(_mm_srli_epi32(*state, 16), _mm_set1_epi32(RANDOM_MAX));
        r[0] = _mm_cvtepi32_pd(raw);
        r[1] = _mm_cvtepi32_pd(_mm_shuffle_epi32(raw, _MM_SHUFFLE(3, 2, 3, 2)));
    }

    static void spread_signs(words x, choice *mask)
    {
        const __m128i all = _mm_srai_epi32(x, 31);
        mask[0] = _mm_castsi128_pd(_mm_unpacklo_epi32(all, all));
        mask[1] = _mm_castsi128_pd(_mm_unpackhi_epi32(all, all));
    }

    static void store_keys(std::uint32_t *p, levels first, levels second, std::uint32_t add)
    {
        const __m128i codes = _mm_unpacklo_epi64(_mm_cvttpd_epi32(first), _mm_cvttpd_epi32(second));
        _mm_store_si128(
            reinterpret_cast<__m128i *>(p),
            _mm_add_epi32(_mm_slli_epi32(codes, 7), _mm_set1_epi32(static_cast<int>(add))));
    }

    // The masks phase's word operations (multiply_low above).
    static words multiply_high_u16(words a, words b) { return _mm_mulhi_epu16(a, b); }
    static words select_words(word_choice mask, words a, words b)
    {
        return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
    }
    static unsigned lane_bits(word_choice mask)
    {
        return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(mask)));
    }
    // The step index's bit in flag word w, without a variable shift: 2^(31 - index % 32) as a
    // float's exponent, converted to an integer (2^31 converts to 0x80000000, the value the
    // conversion gives for every float out of range, which here is exactly that bit), kept
    // only in the index's own word.
    static words index_bit(words index, int w)
    {
        const __m128i exponent =
            _mm_sub_epi32(_mm_set1_epi32(127 + 31), _mm_and_si128(index, _mm_set1_epi32(31)));
        const __m128i power = _mm_cvttps_epi32(_mm_castsi128_ps(_mm_slli_epi32(exponent, 23)));
        return _mm_and_si128(power, _mm_cmpeq_epi32(_mm_srli_epi32(index, 5), _mm_set1_epi32(w)));
    }
};

} // namespace LANES_NAMESPACE

extern const kernel_isa SSE2_ISA =
    LANES_NAMESPACE::isa_entry<LANES_NAMESPACE::sse2_lanes>("sse2", CPU_SSE2);
