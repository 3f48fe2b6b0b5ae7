// Theory: what the experiment's mean r should be, without running it. The long-signal law is
// the limit of unbounded signals; the finite-length law predicts the ensemble's mean r at the
// experiment's own 128 levels, from exact moments of the model every seed follows.
#ifndef AGREEMENT_SWEEP_THEORY_H
#define AGREEMENT_SWEEP_THEORY_H

#include "experiment.h"

// The long-signal law: the correlation of the reference with a coupled signal of unbounded
// length whose step directions agree with probability f, at coupling k, from the stationary
// moments of the level recursion:
//   (2f - 1)(1 + k) sqrt((1 - k)(2 + k) / (2 [(1 - k)(k^2 + 5)
//                                          + 4 f (1 - f)(1 + k)(k^2 + 4k + 1)]))
// 1/sqrt(5) at k = 0, f = 1; at k = 1, +1 and -1 at f = 1 and 0, and 0 in between.
double long_signal_law(double f, double k);

// The finite-length law at coupling k in [0, 1]: the predicted mean over seeds of r at each
// pass q = 0 .. 127, into r[PASS_COUNT]. From the exact first and second moments of the
// covariance and the two variances at 128 levels, averaged over the masks with q disagreeing
// steps (a second-order expansion of r), plus what the expansion misses: for q >= 4 the part
// of 1/sqrt(Vz) taken exactly in a Gaussian model of the same covariances (at 17 passes,
// cubics between); for q <= 3 each
// mask on its own, Gaussian given its kicks (or its start levels), with the kicks' exact law.
// Passes past 63 by the mirror r(q) = -r(127 - q). Exact ends: 1 and -1 at k = 1, q = 0 and
// 127. About 0.4 s of one core per k, optimised; the process remembers the first 1,024
// couplings' laws, so that asking again costs nothing.
void finite_length_law(double k, double *r);

#endif
