// The Gaussian anchor of the finite-length law: E[C Vz^(-1/2)] computed exactly in a Gaussian
// model of (z, w) with the exact mask-averaged covariances, where the second-order expansion
// misses the non-linearity of 1/sqrt(Vz) (k near 1, few disagreeing steps).
#ifndef AGREEMENT_SWEEP_GAUSS_ANCHOR_H
#define AGREEMENT_SWEEP_GAUSS_ANCHOR_H

#include <vector>

#include "moment_engine.h"

// The anchor's correction at one q: E_G[C Vz^(-1/2)] / sqrt(E Vw) minus its own second-order
// expansion in the Gaussian model, so that adding it to the expansion of E[r] replaces the
// expansion's C-Vz part by its exact Gaussian value.
double gaussian_anchor_correction(int n, double k, int q, int last_q, const level_moments &levels);

// Eigen-decomposition of the symmetric n x n matrix (row-major, overwritten): values[i] and
// row i of vectors, an orthonormal eigenvector.
void symmetric_eigen(int n, std::vector<double> *matrix, std::vector<double> *values,
                     std::vector<double> *vectors);

#endif
