// The exact moment engine behind the finite-length law: the first and second moments of the
// covariance and the two variances of a coupled signal of n levels, averaged over every mask
// with q disagreeing steps, for every q in one pass over the levels.
//
// Units: a level L of [1, 10] is (L - 5.5) / 9 here, uniform on [-1/2, 1/2]; r doesn't change.
// The model: w_t uniform, z_0 uniform, and for t >= 1, with U_t uniform on (0, 1), e_t = +1 on
// an agreeing step and -1 on a disagreeing one, and A_t = 1 when the coupled step goes up,
//   z_t = (1 - c U_t) z_{t-1} + c U_t (A_t - 1/2) + k e_t (w_t - w_{t-1}),   c = 1 - k.
#ifndef AGREEMENT_SWEEP_MOMENT_ENGINE_H
#define AGREEMENT_SWEEP_MOMENT_ENGINE_H

#include <vector>

// The moments of one q, as expectations over the reference, the draws and the uniform mask
// with q disagreeing steps: C, Vz and Vw are the population covariance and variances.
struct signal_moments {
    double mean_c;  // E[C]
    double mean_vz; // E[Vz]
    double mean_vw; // E[Vw]
    double c_c;     // E[C^2]
    double c_vz;    // E[C Vz]
    double c_vw;    // E[C Vw]
    double vz_vz;   // E[Vz^2]
    double vz_vw;   // E[Vz Vw]
    double vw_vw;   // E[Vw^2]
};

// What the Gaussian anchor needs at each level t = 0 .. n-1, per count j of disagreeing steps
// among the first t: the sums over those masks of E[z_t^2] and of E[z_t w_t].
struct level_moments {
    std::vector<double> zz; // [t * (last_q + 1) + j]
    std::vector<double> zw; // the same layout
};

// Runs the engine for signals of n levels (3 <= n <= 1024) at coupling k in [0, 1], for q =
// 0 .. last_q (last_q <= n - 1): moments[q] for each, and, when levels isn't null, the
// per-level sums above. Exact up to rounding: the level is held at 12 Gauss-Legendre nodes,
// which represent every function the engine carries exactly.
void run_moment_engine(int n, double k, int last_q, std::vector<signal_moments> *moments,
                       level_moments *levels);

// The second-order (delta-method) expansion of E[C Vz^(-1/2) Vw^(-1/2)] about the means, from
// the means of C, Vz and Vw and their covariances; and the same from one q's moments.
double expanded_r(double mean_c, double mean_vz, double mean_vw, double cov_c_vz, double cov_c_vw,
                  double var_vz, double var_vw, double cov_vz_vw);
double second_order_r(const signal_moments &m);

// The number of ways to choose j of m, as the engine counts masks: Pascal's rule in doubles.
// Returns row m of the triangle, entries 0 .. m.
std::vector<double> pascal_row(int m);

#endif
