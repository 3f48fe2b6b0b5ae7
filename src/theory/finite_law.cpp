// The finite-length law: the second-order expansion of E[C / sqrt(Vz Vw)] around the exact
// moments, anchored where the expansion falls short: in the kicked masks for the passes with
// at most three disagreeing steps, in the Gaussian model for the rest. Each anchor adds what
// its model gives for E[r] minus its model's own expansion, so that the exact moments' part
// stays.
#include <cmath>
#include <vector>

#include "gauss_anchor.h"
#include "kicked_masks.h"
#include "moment_engine.h"
#include "theory.h"

namespace {

// The second-order (delta-method) expansion of E[C Vz^(-1/2) Vw^(-1/2)] about the means.
double expanded_r(const signal_moments &m)
{
    const double cov_c_vz = m.c_vz - m.mean_c * m.mean_vz;
    const double cov_c_vw = m.c_vw - m.mean_c * m.mean_vw;
    const double var_vz = m.vz_vz - m.mean_vz * m.mean_vz;
    const double var_vw = m.vw_vw - m.mean_vw * m.mean_vw;
    const double cov_vz_vw = m.vz_vw - m.mean_vz * m.mean_vw;
    const double root = std::sqrt(m.mean_vz * m.mean_vw);
    const double g = m.mean_c / root;
    return g - cov_c_vz / (2.0 * m.mean_vz * root) - cov_c_vw / (2.0 * m.mean_vw * root) +
           g * (3.0 * var_vz / (8.0 * m.mean_vz * m.mean_vz) +
                3.0 * var_vw / (8.0 * m.mean_vw * m.mean_vw) +
                cov_vz_vw / (4.0 * m.mean_vz * m.mean_vw));
}

} // namespace

void finite_length_law(double k, double *r)
{
    constexpr int LAST_Q = PASS_COUNT / 2 - 1; // 63: the rest by the mirror
    constexpr int KICKED_PASSES = 3;           // q = 0 .. 3 by the kicked masks
    std::vector<signal_moments> moments;
    level_moments levels;
    run_moment_engine(SIGNAL_LENGTH, k, LAST_Q, &moments, &levels);
    for (int q = 0; q <= LAST_Q; ++q) {
        const double expansion = expanded_r(moments[static_cast<std::size_t>(q)]);
        double value = 0.0;
        if (q <= KICKED_PASSES) {
            // A few disagreeing steps: each mask on its own, Gaussian given its kicks.
            const kicked_result kicked = kicked_masks(SIGNAL_LENGTH, k, q);
            value = expansion + (kicked.value - kicked.expansion);
        } else {
            value = expansion + gaussian_anchor_correction(SIGNAL_LENGTH, k, q, LAST_Q, levels);
        }
        if (k == 1.0 && q == 0) {
            value = 1.0; // the coupled signal is the reference, shifted
        }
        r[q] = value + 0.0;
        r[STEP_COUNT - q] = -value + 0.0; // flipping every step's agreement flips r
    }
}
