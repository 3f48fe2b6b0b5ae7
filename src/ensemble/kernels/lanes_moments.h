// The seed kernels' moments for every vector width: a batch's levels amplified about their
// means, their variance and their correlation with the reference, in the plain run's order.
#ifndef AGREEMENT_SWEEP_LANES_MOMENTS_H
#define AGREEMENT_SWEEP_LANES_MOMENTS_H

#include <limits>

#include "lanes_batch.h"
#include "lanes_inline.h"
#include "seed_lanes.h"

#ifndef LANES_NAMESPACE
#error "LANES_NAMESPACE must name the including file's own namespace"
#endif

namespace LANES_NAMESPACE {

// Vector v's r from its sums of squares and products, into result, and whether each of its
// lanes' levels are all finite, into work->finite.
template <class L>
LANES_INLINE void store_r(const seed_reference &reference, typename L::levels squares,
                          typename L::levels products, int first_pass, int v, batch_work<L> *work,
                          seed_result *result)
{
    constexpr int H = batch_work<L>::HALF;
    const typename L::levels variance = L::mul(squares, L::set(1.0 / 128.0));
    const typename L::levels r =
        L::div(products, L::mul(L::sqrt(variance), L::set(reference.scale)));
    double lanes[H];
    L::store(lanes, r);
    double spread[H];
    L::store(spread, squares);
    for (int h = 0; h < H; ++h) {
        result->r[first_pass + v * H + h] = lanes[h];
        // An infinite or NaN level makes its sum of squares infinite or NaN.
        work->finite[v * H + h] = spread[h] - spread[h] == 0.0;
    }
}

// The moments of a batch's passes from the sums of their levels: each level amplified about
// its pass's mean (kept in work->level when the rank statistic is asked for), the variance
// and r into result, each pass's lowest and highest level into lowest and highest, and
// whether its levels are all finite into work->finite.
template <class L>
LANES_INLINE void batch_moments(const seed_reference &reference, const typename L::levels *sum,
                                int first_pass, bool ranks, batch_work<L> *work,
                                typename L::levels *lowest, typename L::levels *highest,
                                seed_result *result)
{
    constexpr int G = L::GROUPS;
    constexpr int H = batch_work<L>::HALF;
    // Two vectors of levels at a time: they share each step's reference deviation and loop,
    // and their sums' chains overlap.
    constexpr int PAIR = 2;
    static_assert((2 * G) % PAIR == 0, "a batch's level vectors come in pairs");
    for (int first = 0; first < 2 * G; first += PAIR) {
        typename L::levels mean[PAIR];
        typename L::levels squares[PAIR];
        typename L::levels products[PAIR];
        // In registers, not in the arrays: through memory each step would wait for the last
        // one's store. min(inf, x) and max(-inf, x) are x, so the first level starts them.
        typename L::levels low[PAIR];
        typename L::levels high[PAIR];
        LANES_UNROLLED
        for (int i = 0; i < PAIR; ++i) {
            // mean = sum / 128 (a power of two: the same double as the division).
            mean[i] = L::mul(sum[first + i], L::set(1.0 / 128.0));
            squares[i] = L::set(0.0);
            products[i] = L::set(0.0);
            low[i] = L::set(std::numeric_limits<double>::infinity());
            high[i] = L::set(-std::numeric_limits<double>::infinity());
        }
        for (int p = 0; p < SIGNAL_LENGTH; ++p) {
            const typename L::levels reference_deviation = L::set(reference.deviation[p]);
            LANES_UNROLLED
            for (int i = 0; i < PAIR; ++i) {
                // Amplified about the mean, then the variance's and the correlation's terms
                // from the same deviation, each sum in index order.
                const typename L::levels raw = L::load(&work->level[p][(first + i) * H]);
                const typename L::levels amplified =
                    L::add(mean[i], L::mul(L::sub(raw, mean[i]), L::set(AMPLIFICATION)));
                const typename L::levels deviation = L::sub(amplified, mean[i]);
                squares[i] = L::add(L::mul(deviation, deviation), squares[i]);
                products[i] = L::add(products[i], L::mul(reference_deviation, deviation));
                if (ranks) {
                    L::store(&work->level[p][(first + i) * H], amplified);
                    low[i] = L::min(low[i], amplified);
                    high[i] = L::max(high[i], amplified);
                }
            }
        }
        for (int i = 0; i < PAIR; ++i) {
            lowest[first + i] = low[i];
            highest[first + i] = high[i];
            store_r<L>(reference, squares[i], products[i], first_pass, first + i, work, result);
        }
    }
}

} // namespace LANES_NAMESPACE

#endif
