// The kicked-mask tier of the finite-length law, for the passes with a few disagreeing steps.
// Each disagreeing step kicks the coupled signal by -k times a reference step, a kick no
// Gaussian model of the whole signal represents: here each mask is taken on its own, the
// signal is Gaussian given its kicks (with the mask's exact covariances, conditioned on the
// kicks), the expansion of r is taken given the kicks, and the kicks are integrated with their
// exact law (triangular, or sharing a level where steps are adjacent).
#ifndef AGREEMENT_SWEEP_KICKED_MASKS_H
#define AGREEMENT_SWEEP_KICKED_MASKS_H

// What the kicked model gives for q disagreeing steps averaged over the masks: its value of
// E[r], and its own second-order expansion from its unconditional moments, so that the law can
// keep the exact moments' expansion and add the difference.
struct kicked_result {
    double value;     // E[r] in the kicked model
    double expansion; // the expansion of E[r] from the kicked model's own moments
};

// The kicked model at coupling k for 0 <= q <= 3 disagreeing steps among the n - 1 steps.
kicked_result kicked_masks(int n, double k, int q);

#endif
