// The random source from its seed. The whole experiment depends on the draw sequence and on
// how many draws each operation takes, so this walks the sequence in one test, from the start
// of the process: the order of the checks is the order of the draws.
#include <gtest/gtest.h>

#include <cstdint>

#include "synth.h"

namespace {

// An independent model of the generator, used only to know which draw comes next.
std::uint32_t model_state = 1U;
int model_draw()
{
    model_state = model_state * 214013U + 2531011U;
    return static_cast<int>((model_state >> 16) & 0x7FFFU);
}

// Checks that the source and the model agree on the next draw: both advance by one.
void expect_in_step(const char *after)
{
    EXPECT_EQ(next_draw(), model_draw()) << "draw count differs after " << after;
}

} // namespace

TEST(DrawSequence, FromSeedOne)
{
    // The first ten draws of the seed-1 sequence.
    const int first[10] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(next_draw(), first[i]) << "draw " << i + 1;
        ASSERT_EQ(model_draw(), first[i]) << "model draw " << i + 1;
    }

    // Full agreement clears nothing and must not touch the sequence.
    mask_t mask;
    build_mask(mask, 0);
    for (int p = 0; p < STEP_COUNT; ++p) {
        ASSERT_EQ(mask[p], 1);
    }
    expect_in_step("build_mask(q = 0)");

    // The first draw of 32767 is draw 38724 of the sequence; it maps to step index 127, past
    // the mask, so build_mask(q = 1) must reject it and clear the index of the following draw,
    // 17529, which is floor(17529 * 127 / 32767) = 67. Eleven draws are taken so far.
    for (int drawn = 11; drawn < 38723; ++drawn) {
        next_draw();
        model_draw();
    }
    build_mask(mask, 1);
    EXPECT_EQ(model_draw(), 32767);
    EXPECT_EQ(model_draw(), 17529);
    int cleared = 0;
    for (int p = 0; p < STEP_COUNT; ++p) {
        cleared += mask[p] == 0 ? 1 : 0;
    }
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(mask[67], 0);
    expect_in_step("build_mask(q = 1) over a draw of 32767");

    // A coupled signal takes exactly one draw per level.
    signal_t reference;
    signal_t coupled;
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        reference[p] = (p % 3 == 0) ? 2.0 : 7.0;
    }
    generate_coupled(reference, mask, coupled);
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        model_draw();
    }
    expect_in_step("generate_coupled");
}
