// Spearman's rank correlation of a signal against time order.
#include <cmath>
#include <limits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

#include "stats/stats.h"

namespace {

// Overwritten by every call; holds the levels in ascending order afterwards.
signal_t sort_copy;

// n^3 - n for n = 128, the rank correlation's denominator (exact in a double).
constexpr double RANK_DENOMINATOR = 128.0 * 128.0 * 128.0 - 128.0;

// Sweeps of the exchange sort that run at once, each one place behind the one before.
constexpr int SWEEPS_IN_FLIGHT = 6;

// Unrolling these loops lets the compiler keep every sweep's carried level and position in
// registers; compilers without the hint keep the plain loops, with the same results.
#if defined(__clang__)
#define UNROLL_SWEEPS _Pragma("clang loop unroll(full)")
#elif defined(__GNUC__)
#define UNROLL_SWEEPS _Pragma("GCC unroll 8")
#else
#define UNROLL_SWEEPS
#endif

// A level as the sweeps hold it. On x86 it lives in the low half of a vector register, where
// the minimum and maximum instructions have exactly the select semantics the sweeps need and
// keep the compiler from turning the selects back into branches; elsewhere it is a double.
#if defined(__SSE2__) || defined(_M_X64)
typedef __m128d held_level;
inline held_level hold(double level)
{
    return _mm_set_sd(level);
}
inline double release(held_level level)
{
    return _mm_cvtsd_f64(level);
}
inline bool greater(held_level a, held_level b)
{
    return _mm_comigt_sd(a, b) != 0;
}
inline held_level select_low(held_level level, held_level next) // level > next ? next : level
{
    return _mm_min_sd(next, level);
}
inline held_level select_high(held_level level, held_level next) // level > next ? level : next
{
    return _mm_max_sd(level, next);
}
#else
typedef double held_level;
inline held_level hold(double level)
{
    return level;
}
inline double release(held_level level)
{
    return level;
}
inline bool greater(held_level a, held_level b)
{
    return a > b;
}
inline held_level select_low(held_level level, held_level next)
{
    return level > next ? next : level;
}
inline held_level select_high(held_level level, held_level next)
{
    return level > next ? level : next;
}
#endif

// One comparison of a sweep: the sweep carries the largest level it has met so far (level,
// position) and meets the next one (next, next_position). Swaps when the carried level is
// strictly greater, so equal levels keep their time order. Afterwards (next, next_position)
// is what the sweep leaves behind at this place and the carried pair moves on.
inline void compare_exchange(held_level &level, int &position, held_level &next,
                             int &next_position)
{
    // When the carried level is not greater, the sweep leaves it here and carries the next
    // one on: the pairs trade places. The positions trade through an all-ones or all-zero
    // mask, the levels through minimum and maximum, both free of branches.
    const int trade = static_cast<int>(greater(level, next)) - 1;
    const int moved = (position ^ next_position) & trade;
    const held_level low = select_low(level, next);
    level = select_high(level, next);
    next = low;
    next_position ^= moved;
    position ^= moved;
}

// The plain sweep p: compares the pairs (s, s + 1) for s = 0 .. 126 - p in order.
void sweep(int p, double *levels, int *position)
{
    const int last = SIGNAL_LENGTH - 1 - p;
    held_level level = hold(levels[0]);
    int carried = position[0];
    for (int s = 0; s < last; ++s) {
        held_level next = hold(levels[s + 1]);
        int next_position = position[s + 1];
        compare_exchange(level, carried, next, next_position);
        levels[s] = release(next);
        position[s] = next_position;
    }
    levels[last] = release(level);
    position[last] = carried;
}

// Sweeps first .. first + SWEEPS_IN_FLIGHT - 1 at once.
//
// Sweep p reads each place only after sweep p - 1 has left its final level there: what sweep
// p - 1 leaves at place s is its lower level of the pair (s, s + 1), fixed as soon as it
// compared that pair, and sweep p compares the pair (s - 1, s) next. So the levels flow
// through the sweeps like a pipeline: at time t sweep 0 of the group meets place t, and
// each later sweep meets at once what the sweep before it left behind. Every sweep thus
// compares the same pairs, holding the same levels, with the same outcomes as when the sweeps
// run one after another; only the interleaving differs, and that gives the processor several
// independent comparison chains instead of one.
void sweep_group(int first, double *levels, int *position)
{
    const int length = SIGNAL_LENGTH - first; // places 0 .. length - 1 still unsorted
    held_level level[SWEEPS_IN_FLIGHT];
    int carried[SWEEPS_IN_FLIGHT];

    // Filling the pipeline: sweep k takes its first level at time k.
    for (int t = 0; t < SWEEPS_IN_FLIGHT; ++t) {
        held_level next = hold(levels[t]);
        int next_position = position[t];
        for (int k = 0; k < t; ++k) {
            compare_exchange(level[k], carried[k], next, next_position);
        }
        level[t] = next;
        carried[t] = next_position;
    }

    // Every sweep compares once per time step; the last one leaves its lower level for good.
    for (int t = SWEEPS_IN_FLIGHT; t < length; ++t) {
        held_level next = hold(levels[t]);
        int next_position = position[t];
        UNROLL_SWEEPS
        for (int k = 0; k < SWEEPS_IN_FLIGHT; ++k) {
            compare_exchange(level[k], carried[k], next, next_position);
        }
        levels[t - SWEEPS_IN_FLIGHT] = release(next);
        position[t - SWEEPS_IN_FLIGHT] = next_position;
    }

    // Each sweep ends by leaving the largest level it carried at its final place.
    for (int k = 0; k < SWEEPS_IN_FLIGHT; ++k) {
        levels[length - 1 - k] = release(level[k]);
        position[length - 1 - k] = carried[k];
    }
}

// Step 2 of the rank statistic: the exchange sort, ascending. Sweep p compares the adjacent
// pairs (s, s + 1) for s = 0 .. 126 - p and swaps them when the left level is strictly
// greater, so equal levels keep their time order and get distinct ranks in that order: 8128
// comparisons. The sweeps run in groups while they are long, the short last ones one by one.
// The last sweep (p = 127) has no pair to compare.
void exchange_sort(double *levels, int *position)
{
    int p = 0;
    for (; p + SWEEPS_IN_FLIGHT <= SIGNAL_LENGTH - 1; p += SWEEPS_IN_FLIGHT) {
        sweep_group(p, levels, position);
    }
    for (; p < SIGNAL_LENGTH - 1; ++p) {
        sweep(p, levels, position);
    }
}

// Step 3: the sum of squared differences between sorted place and time position. Each
// difference is an integer below 128, so its square and the running sum are exact.
double squared_differences(const int *position)
{
    double sum = 0.0;
    for (int q = 0; q < SIGNAL_LENGTH; ++q) {
        const double difference = static_cast<double>(position[q] - q);
        sum = difference * difference + sum;
    }
    return sum;
}

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
            const __m128d in_order = _mm_cmple_pd(_mm_loadu_pd(padded + x),
                                                  _mm_loadu_pd(padded + x + d));
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
    return ordered_pair_sum_plain(padded);
}

} // namespace

rank_result rank_from_squared_differences(double sum)
{
    // Steps 4 and 5: rho, then its bound in this order: square, divide, root, scale.
    rank_result result;
    result.rho = 1.0 - (6.0 * sum) / RANK_DENOMINATOR;
    result.bound = std::sqrt(((1.0 - result.rho) * (1.0 - result.rho)) / 126.0) * Z_95;
    return result;
}

rank_result rank_statistic(const double *signal)
{
    int position[SIGNAL_LENGTH]; // entry p: time position of the level at sorted place p

    // Step 1: copy, with each level at its own time position.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        sort_copy[p] = signal[p];
        position[p] = p;
    }

    exchange_sort(sort_copy, position);
    const double sum = squared_differences(position);
    return rank_from_squared_differences(sum);
}

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
            int position[SIGNAL_LENGTH];
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
    long long t = 0;
    for (int y = 0; y < SIGNAL_LENGTH; ++y) {
        u += static_cast<long long>(y) * (y - 1) / 2; // the pairs (x, y), x < y, add x at least
        t += static_cast<long long>(y) * y;
    }
    return rank_from_squared_differences(static_cast<double>(2 * (t - u)));
}
