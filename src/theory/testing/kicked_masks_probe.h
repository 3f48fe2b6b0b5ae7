// The kicked-mask tier's seams for the tests alone: its build gives this folder to the tests,
// not to the theory room's dependents.
#ifndef AGREEMENT_SWEEP_KICKED_MASKS_PROBE_H
#define AGREEMENT_SWEEP_KICKED_MASKS_PROBE_H

#include <utility>
#include <vector>

// Returns one mask's E[r] in the kicked model at n levels and coupling k (positions: its
// disagreeing steps, ascending, 1 .. n - 1, at most three).
double kicked_mask_value(int n, double k, const std::vector<int> &positions);

// Returns the reduced rule over the masks with q <= 3 disagreeing steps among steps: each term
// a mask and how many masks it stands for.
std::vector<std::pair<std::vector<int>, double>> kicked_mask_rule(int steps, int q);

#endif
