// The coupled signal follows the reference's step directions where the mask says so and
// opposes them elsewhere. The bounds carry a coupling coefficient k: at 0.0, the run's
// COUPLING_K, each new level is drawn over the whole room left in the chosen direction; above
// it each step's size is tied to the reference step's magnitude too.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "synth.h"

namespace {

// Returns a where take_a has all bits set and b where it has none. Each level waits for the
// one before it and the direction of a step is random, so the choice must be neither a
// branch nor a detour through the integer registers; on x86 it stays in the vector unit.
#if defined(__SSE2__) || defined(_M_X64)
double choose(__m128d take_a, double a, double b)
{
    return _mm_cvtsd_f64(
        _mm_or_pd(_mm_and_pd(take_a, _mm_set_sd(a)), _mm_andnot_pd(take_a, _mm_set_sd(b))));
}
__m128d choice_mask(bool take_a)
{
    return _mm_castsi128_pd(_mm_set1_epi64x(-static_cast<long long>(take_a)));
}
#else
double choose(bool take_a, double a, double b)
{
    return take_a ? a : b;
}
bool choice_mask(bool take_a)
{
    return take_a;
}
#endif

// One form of the step loop: with sizes_tied the general bounds of coefficient k, without
// them the bounds of k = 0, which give the same doubles sooner.
template <bool sizes_tied>
void generate_steps(std::uint32_t *state, const double *reference, const std::int32_t *mask,
                    double k, double *coupled)
{
    std::uint32_t word = *state;
    coupled[0] = draw_level_from(&word);
    for (int p = 0; p < STEP_COUNT; ++p) {
        const double y = coupled[p];
        const reference_step step = reference_step_at(reference, p);
        const double d = step.size;

        // A level reference step has no direction to follow, so it always goes down. The
        // flags and signs combine without branching.
        const int agree = static_cast<int>(mask[p] == 1);
        const int rises = static_cast<int>(step.rises);
        const int falls = static_cast<int>(step.falls);
        const bool up = ((agree & rises) | ((1 - agree) & falls)) != 0;

        // The draw comes after the direction: one draw per step either way. Both levels are
        // worked out and one is kept, so the next step needn't wait for the direction.
        const double r = static_cast<double>(next_draw_from(&word));
        const step_levels levels =
            sizes_tied ? coupled_step_levels(y, d, k, r) : coupled_step_levels_uncoupled(y, r);
        coupled[p + 1] = choose(choice_mask(up), levels.up, levels.down);
    }
    *state = word;
}

} // namespace

void generate_coupled_from(std::uint32_t *state, const double *reference, const std::int32_t *mask,
                           double k, double *coupled)
{
    if (k == 0.0) {
        generate_steps<false>(state, reference, mask, k, coupled);
    } else {
        generate_steps<true>(state, reference, mask, k, coupled);
    }
}

void generate_coupled(const double *reference, const std::int32_t *mask, double *coupled)
{
    generate_coupled_from(run_random_state(), reference, mask, COUPLING_K, coupled);
}

void amplify_deviations(double *coupled, double mean)
{
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        coupled[p] = mean + (coupled[p] - mean) * AMPLIFICATION;
    }
}
