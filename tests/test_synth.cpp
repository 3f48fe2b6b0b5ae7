// Scaling of raw draws, the direction mask and the coupled signal's rules.
#include <gtest/gtest.h>

#include <cmath>

#include "synth.h"

namespace {

int cleared_count(const std::int32_t *mask)
{
    int cleared = 0;
    for (int p = 0; p < STEP_COUNT; ++p) {
        cleared += mask[p] == 0 ? 1 : 0;
    }
    return cleared;
}

// A reference with rising, falling and level steps in a fixed rhythm.
void make_reference(double *reference)
{
    const double cycle[5] = {2.0, 8.5, 8.5, 3.25, 9.75}; // up, level, down, up, down
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        reference[p] = cycle[p % 5];
    }
}

// Every step of coupled must go the way the mask ties to the reference step: up only for
// (flag 1, rising) or (flag 0, falling), down otherwise, level steps included.
void expect_directions(const double *reference, const std::int32_t *mask, const double *coupled)
{
    for (int p = 0; p < STEP_COUNT; ++p) {
        const double step = reference[p + 1] - reference[p];
        const bool up = (mask[p] == 1 && step > 0.0) || (mask[p] == 0 && step < 0.0);
        if (up) {
            EXPECT_GE(coupled[p + 1], coupled[p]) << "step " << p << " should rise";
        } else {
            EXPECT_LE(coupled[p + 1], coupled[p]) << "step " << p << " should fall";
        }
    }
}

// Levels stay in [1, 10] up to a few units in the last place.
void expect_in_bounds(const double *coupled)
{
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        EXPECT_GE(coupled[p], LEVEL_MIN - 1e-14) << "level " << p;
        EXPECT_LE(coupled[p], LEVEL_MAX + 1e-14) << "level " << p;
    }
}

} // namespace

TEST(RandomSource, LevelScaling)
{
    EXPECT_EQ(level_from_draw(0), 1.0);                      // lowest draw, lowest level, exactly
    EXPECT_EQ(level_from_draw(32767), 10.0);                 // highest draw, highest level, exactly
    EXPECT_NEAR(level_from_draw(41), 1.011261329997, 1e-12); // the run's first level
    for (int i = 0; i < 1000; ++i) {
        const double level = draw_level();
        EXPECT_GE(level, 1.0);
        EXPECT_LE(level, 10.0);
    }
}

TEST(RandomSource, StepIndexScaling)
{
    EXPECT_EQ(step_index_from_draw(0), 0);
    EXPECT_EQ(step_index_from_draw(32766), 126); // 32766 * 127 / 32767 = 126.996...
    EXPECT_EQ(step_index_from_draw(32767), 127); // the one index outside the mask
    EXPECT_EQ(step_index_from_draw(258), 0);     // 258 * 127 / 32767 = 0.99996...
    EXPECT_EQ(step_index_from_draw(259), 1);     // 259 * 127 / 32767 = 1.00384...
}

TEST(RandomSource, StepIndexEqualsTheDoubleFormulaForEveryDraw)
{
    for (int r = 0; r <= RANDOM_MAX; ++r) {
        const double index = std::floor((static_cast<double>(r) * 127.0) / 32767.0);
        ASSERT_EQ(step_index_from_draw(r), static_cast<int>(index)) << "draw " << r;
    }
}

TEST(RandomSource, AJumpLandsWhereTheDrawsDo)
{
    // Counts with every bit pattern up to 2^9, and one past 2^32 draws, whose jump must
    // compose its high bits too: the period of the state word is 2^32, so it is the identity
    // composed with one step.
    for (const std::uint64_t draws : {0ULL, 1ULL, 2ULL, 3ULL, 127ULL, 128ULL, 300ULL, 511ULL}) {
        std::uint32_t stepped = 12345U;
        for (std::uint64_t i = 0; i < draws; ++i) {
            next_draw_from(&stepped);
        }
        const draw_jump jump = jump_past(draws);
        EXPECT_EQ(jump.multiplier * 12345U + jump.increment, stepped) << draws << " draws";
    }
    const draw_jump wrap = jump_past((1ULL << 32) + 1);
    EXPECT_EQ(wrap.multiplier, RANDOM_MULTIPLIER);
    EXPECT_EQ(wrap.increment, RANDOM_INCREMENT);
}

TEST(DirectionMask, ClearsExactlyQ)
{
    mask_t mask;
    const int counts[6] = {0, 1, 2, 63, 126, 127};
    for (int q : counts) {
        build_mask(mask, q);
        EXPECT_EQ(cleared_count(mask), q) << "q = " << q;
        for (int p = 0; p < STEP_COUNT; ++p) {
            EXPECT_TRUE(mask[p] == 0 || mask[p] == 1) << "flag " << p << " = " << mask[p];
        }
    }
}

TEST(DirectionMask, ResetsBeforeClearing)
{
    mask_t mask;
    build_mask(mask, 127);
    EXPECT_EQ(cleared_count(mask), 127);
    build_mask(mask, 0); // a pass never sees the previous pass's mask
    EXPECT_EQ(cleared_count(mask), 0);
    build_mask(mask, 5);
    EXPECT_EQ(cleared_count(mask), 5);
}

TEST(CoupledSignal, FollowsTheMaskedDirections)
{
    signal_t reference;
    signal_t coupled;
    mask_t mask;
    make_reference(reference);

    build_mask(mask, 0); // full agreement: up wherever the reference rises
    generate_coupled(reference, mask, coupled);
    expect_directions(reference, mask, coupled);
    expect_in_bounds(coupled);

    build_mask(mask, 127); // full disagreement: up wherever the reference falls
    generate_coupled(reference, mask, coupled);
    expect_directions(reference, mask, coupled);
    expect_in_bounds(coupled);

    for (int q = 1; q < 127; q += 9) {
        build_mask(mask, q);
        generate_coupled(reference, mask, coupled);
        expect_directions(reference, mask, coupled);
        expect_in_bounds(coupled);
    }
}

TEST(CoupledSignal, LevelReferenceAlwaysGoesDown)
{
    signal_t reference;
    signal_t coupled;
    mask_t mask;
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        reference[p] = 4.5;
    }
    const int counts[3] = {0, 64, 127};
    for (int q : counts) {
        build_mask(mask, q);
        generate_coupled(reference, mask, coupled);
        for (int p = 0; p < STEP_COUNT; ++p) {
            EXPECT_LE(coupled[p + 1], coupled[p]) << "q = " << q << ", step " << p;
        }
        EXPECT_GE(coupled[STEP_COUNT], 1.0 - 1e-14);
    }
}

TEST(CoupledSignal, AmplifiesAboutTheGivenMean)
{
    signal_t levels;
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        levels[p] = (p % 2 == 0) ? 4.0 : 6.0; // deviations of -1 and +1 about 5
    }
    amplify_deviations(levels, 5.0);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        EXPECT_EQ(levels[p], (p % 2 == 0) ? 0.0 : 10.0) << "level " << p;
    }

    // About a mean that isn't the signal's own, the mean itself stays put and every other
    // level moves five times as far from it: 3 is 1 below 4, so it lands at -1.
    levels[0] = 4.0;
    levels[1] = 3.0;
    amplify_deviations(levels, 4.0);
    EXPECT_EQ(levels[0], 4.0);
    EXPECT_EQ(levels[1], -1.0);
}

// At k = 0 the general bounds and the k = 0 bounds give the same doubles: every draw on a
// spread of levels and steps, and whole signals of the generator against the general form
// applied step by step.
TEST(CoupledSignal, GeneralBoundsAtZeroAreTheUncoupledBounds)
{
    for (double y = 1.0; y <= 10.0; y += 0.173) {
        for (double d = 0.0; d <= 9.0; d += 0.61) {
            for (int r = 0; r <= RANDOM_MAX; r += 7) {
                const step_levels general = coupled_step_levels(y, d, 0.0, r);
                const step_levels uncoupled = coupled_step_levels_uncoupled(y, r);
                ASSERT_EQ(general.up, uncoupled.up) << "y " << y << ", d " << d << ", r " << r;
                ASSERT_EQ(general.down, uncoupled.down) << "y " << y << ", d " << d << ", r " << r;
            }
        }
    }

    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        std::uint32_t state = seed;
        signal_t reference;
        signal_t coupled;
        mask_t mask;
        for (double &level : reference) {
            level = draw_level_from(&state);
        }
        build_mask_from(&state, mask, static_cast<int>(seed % 128));
        std::uint32_t general_state = state;
        generate_coupled_from(&state, reference, mask, 0.0, coupled);

        double y = draw_level_from(&general_state);
        ASSERT_EQ(coupled[0], y);
        for (int p = 0; p < STEP_COUNT; ++p) {
            const double step = reference[p + 1] - reference[p];
            const bool up = (mask[p] == 1 && step > 0.0) || (mask[p] == 0 && step < 0.0);
            const step_levels levels =
                coupled_step_levels(y, std::fabs(step), 0.0, next_draw_from(&general_state));
            y = up ? levels.up : levels.down;
            ASSERT_EQ(coupled[p + 1], y) << "seed " << seed << ", step " << p;
        }
        EXPECT_EQ(state, general_state) << "128 draws either way";
    }
}

// At k = 1 both bounds of a step meet: an agreeing step copies the reference step, a
// disagreeing one mirrors it, and a level step stays level. Every k takes the same 128 draws.
// (Between 0 and 1 a level that has left [1, 10] can make a step's bounds cross, so the
// directions hold only inside that room.)
TEST(CoupledSignal, FullCouplingCopiesTheReferenceSteps)
{
    signal_t reference;
    signal_t coupled;
    mask_t mask;
    make_reference(reference);
    std::uint32_t start = 12345U;
    for (const int q : {0, 127}) {
        build_mask_from(&start, mask, q);
        const double sign = q == 0 ? 1.0 : -1.0;
        for (const double k : {1.0, 0.5}) {
            std::uint32_t state = start;
            generate_coupled_from(&state, reference, mask, k, coupled);
            std::uint32_t expected = start;
            for (int i = 0; i < SIGNAL_LENGTH; ++i) {
                next_draw_from(&expected);
            }
            EXPECT_EQ(state, expected) << "k = " << k;
            for (int p = 0; k == 1.0 && p < STEP_COUNT; ++p) {
                const double step = reference[p + 1] - reference[p];
                // A level step always goes down, by nothing.
                EXPECT_NEAR(coupled[p + 1] - coupled[p], sign * step, 1e-12) << "step " << p;
            }
        }
    }
}
