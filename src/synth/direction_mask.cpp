// The direction mask sweeps the experiment: pass q clears q of the 127 flags.
#include "synth.h"

void build_mask_from(std::uint32_t *state, std::int32_t *mask, int q)
{
    // The flags with one more entry for index 127, which lies past the mask: it stays 0, so
    // a draw of 32767 is rejected like a flag already cleared.
    std::int32_t flags[STEP_COUNT + 1];
    for (int p = 0; p < STEP_COUNT; ++p) {
        flags[p] = 1;
    }
    flags[STEP_COUNT] = 0;

    // Rejection sampling: an index past the mask or a flag already cleared is drawn again.
    // Each draw clears its flag and counts it only if it was still set, so the loop has no
    // branch on the draw's outcome, which can't be predicted. Full agreement (q = 0) takes no
    // draw, which keeps the draw sequence aligned. The loop ends because every flag can still
    // be drawn and q never exceeds the flag count.
    std::uint32_t word = *state;
    int cleared = 0;
    while (cleared < q) {
        const int i = draw_step_index_from(&word);
        cleared += flags[i];
        flags[i] = 0;
    }
    *state = word;

    for (int p = 0; p < STEP_COUNT; ++p) {
        mask[p] = flags[p];
    }
}

void build_mask(std::int32_t *mask, int q)
{
    build_mask_from(run_random_state(), mask, q);
}
