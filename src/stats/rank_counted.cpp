// Spearman's rank correlation of a signal against time order by counting, for every pair of
// levels, which comes first in the stable ascending order: the same bits as the exchange
// sort, with no state, for the ensemble's threads.
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

#include "rank_parts.h"
#include "stats.h"

namespace {

// The levels followed by NaNs, so that a comparison may reach past the last level: every
// comparison with a NaN is false, so those pairs never count. Filled by ordered_pair_sum.
constexpr int PADDED_LENGTH = SIGNAL_LENGTH + 4;

// Returns the sum over distances d = 1 .. 127 of d times the number of places x whose level
// is not greater than the level d places later: the pairs at distance d already in the
// stable ascending order. The plain form, for compilers without the vector forms below.
long long ordered_pair_sum_plain(const double *padded)
{
    long long sum = 0;
    for (int d = 1; d < SIGNAL_LENGTH; ++d) {
        long long count = 0;
        for (int x = 0; x + d < SIGNAL_LENGTH; ++x) {
            count += padded[x] <= padded[x + d] ? 1 : 0;
        }
        sum += d * count;
    }
    return sum;
}

#if defined(__SSE2__) || defined(_M_X64)
// The same sum, two pairs per comparison: an all-ones lane of a comparison is -1, so
// subtracting it counts the pair. Runs of places are rounded up to whole steps; the places
// past the last pair meet the NaNs.
long long ordered_pair_sum_sse2(const double *padded)
{
    __m128i sum = _mm_setzero_si128();
    for (int d = 1; d < SIGNAL_LENGTH; ++d) {
        __m128i count = _mm_setzero_si128();
        for (int x = 0; x + d < SIGNAL_LENGTH; x += 2) {
            const __m128d in_order =
                _mm_cmple_pd(_mm_loadu_pd(padded + x), _mm_loadu_pd(padded + x + d));
            count = _mm_sub_epi64(count, _mm_castpd_si128(in_order));
        }
        // count < 2^32 and d < 2^32: the 32-bit multiply gives the exact 64-bit product.
        sum = _mm_add_epi64(sum, _mm_mul_epu32(count, _mm_set1_epi64x(d)));
    }
    long long lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), sum);
    return lanes[0] + lanes[1];
}
#endif

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define ORDERED_PAIRS_AVX2 1
// The same sum, four pairs per comparison, on processors that have AVX2 (asked at run time,
// so the program still runs everywhere). Counts are integers: every form gives the same sum.
__attribute__((target("avx2"))) long long ordered_pair_sum_avx2(const double *padded)
{
    __m256i sum = _mm256_setzero_si256();
    for (int d = 1; d < SIGNAL_LENGTH; ++d) {
        __m256i count = _mm256_setzero_si256();
        for (int x = 0; x + d < SIGNAL_LENGTH; x += 4) {
            const __m256d in_order = _mm256_cmp_pd(_mm256_loadu_pd(padded + x),
                                                   _mm256_loadu_pd(padded + x + d), _CMP_LE_OQ);
            count = _mm256_sub_epi64(count, _mm256_castpd_si256(in_order));
        }
        sum = _mm256_add_epi64(sum, _mm256_mul_epu32(count, _mm256_set1_epi64x(d)));
    }
    long long lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(lanes), sum);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}
#endif

// The ordered-pair sum, with vectors at most `widest` lanes wide (0, 2 or 4) and no wider
// than this processor and compiler allow.
long long ordered_pair_sum(const double *signal, int widest)
{
    double padded[PADDED_LENGTH];
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        padded[p] = signal[p];
    }
    for (int p = SIGNAL_LENGTH; p < PADDED_LENGTH; ++p) {
        padded[p] = std::numeric_limits<double>::quiet_NaN();
    }
#if defined(ORDERED_PAIRS_AVX2)
    if (widest >= 4 && __builtin_cpu_supports("avx2")) {
        return ordered_pair_sum_avx2(padded);
    }
#endif
#if defined(__SSE2__) || defined(_M_X64)
    if (widest >= 2) {
        return ordered_pair_sum_sse2(padded);
    }
#endif
    static_cast<void>(widest); // where no vector path is built
    return ordered_pair_sum_plain(padded);
}

} // namespace

rank_result rank_statistic_counted(const double *signal)
{
    return rank_statistic_counted_by(signal, 4);
}

rank_result rank_statistic_counted_by(const double *signal, int widest)
{
    // Comparisons with a NaN are all false, which no stable order describes: such a signal
    // goes through the exchange sort itself, on copies of its own.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        if (signal[p] != signal[p]) {
            double levels[SIGNAL_LENGTH];
            double position[SIGNAL_LENGTH];
            for (int q = 0; q < SIGNAL_LENGTH; ++q) {
                levels[q] = signal[q];
                position[q] = q;
            }
            exchange_sort(levels, position);
            return rank_from_squared_differences(squared_differences(position));
        }
    }

    // Without NaNs the exchange sort leaves the levels in the stable ascending order: the
    // level at time y ends at place rank_y, the number of levels that come before it, those
    // lower and those equal but earlier. Of a pair x < y, the one at y comes later exactly when
    // level_x <= level_y. So with T = sum of y^2 over all places and
    //   U = sum over pairs x < y of (level_x <= level_y ? y : x)
    //     = sum over pairs of x + sum over distances d of d * (pairs at distance d in order),
    // S = sum of (rank_y - y)^2 = 2 T - 2 sum of y * rank_y = 2 (T - U), since the ranks are
    // the places 0 .. 127 again. Every term is an integer, so S is exact, the same double the
    // exchange sort's sum gives, and so are rho and its bound.
    long long u = ordered_pair_sum(signal, widest);
    for (int y = 0; y < SIGNAL_LENGTH; ++y) {
        u += static_cast<long long>(y) * (y - 1) / 2; // the pairs (x, y), x < y, add x at least
    }
    return rank_from_squared_differences(static_cast<double>(2 * (PLACE_SQUARES - u)));
}

rank_result rank_statistic_counted_plain(const double *signal)
{
    return rank_statistic_counted_by(signal, 0);
}
