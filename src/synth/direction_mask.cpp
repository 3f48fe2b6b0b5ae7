// The direction mask sweeps the experiment: pass q clears q of the 127 flags.
#include "synth/synth.h"

void build_mask(std::int32_t *mask, int q)
{
    for (int p = 0; p < STEP_COUNT; ++p) {
        mask[p] = 1;
    }
    if (q == 0) {
        return; // full agreement needs no draw, which keeps the draw sequence aligned
    }
    // Rejection sampling: an index past the mask (127, from a draw of 32767) or a flag
    // already cleared is drawn again. The loop ends because every flag can still be drawn
    // and q never exceeds the flag count.
    int cleared = 0;
    for (;;) {
        const int i = draw_step_index();
        if (i >= STEP_COUNT || mask[i] == 0) {
            continue;
        }
        mask[i] = 0;
        if (++cleared == q) {
            return;
        }
    }
}
