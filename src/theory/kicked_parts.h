// The kicked-mask tier's parts, private to the theory room: the mask's Gaussian model
// conditioned on its kicks, the nodes of the kicks' law, and the reduced rule over the masks.
#ifndef AGREEMENT_SWEEP_KICKED_PARTS_H
#define AGREEMENT_SWEEP_KICKED_PARTS_H

#include <utility>
#include <vector>

constexpr int MOST_KICKS = 3; // disagreeing steps in a mask of the tier, at the most

// ---- The conditioned Gaussian (kicked_gaussian.cpp) ----

// A mask's Gaussian model of (z, w): n x n blocks, row-major; zw[t * n + u] = E[z_t w_u].
struct mask_model {
    std::vector<double> zz;
    std::vector<double> zw;
    std::vector<double> ww;
};

// What the model is conditioned on, given count of them: the kicks w_s - w_{s-1}; or, with no
// disagreeing step, the start levels z_0 and w_0, which are uniform, not Gaussian, and weigh
// most when little else varies. Columns, one per variable ([i * n + t]): their covariances
// with z and with w; and their own covariance matrix.
struct conditioning {
    int given;
    std::vector<double> cz;
    std::vector<double> cw;
    double among[MOST_KICKS][MOST_KICKS];
};

// The moments of C, Vz and Vw given the conditioning variables x: each a constant plus a
// quadratic form in x, held as packed upper triangles (off-diagonal terms doubled).
constexpr int MOMENTS = 8; // E C, E Vz, E Vw, cov(C, Vz), cov(C, Vw), var Vz, var Vw, cov(Vz, Vw)
constexpr int PAIRS = MOST_KICKS * (MOST_KICKS + 1) / 2;
struct given_moments {
    double base[MOMENTS];
    double form[MOMENTS][PAIRS];
};

// Step 1: the mask's exact second moments (e[t] = +1 where step t agrees, -1 where not).
void mask_covariances(int n, double k, const std::vector<double> &e, mask_model *model);

// Step 2: the conditioning variables' covariances, for a mask's disagreeing steps (ascending).
void conditioning_of(int n, const std::vector<int> &positions, const mask_model &model,
                     conditioning *on);

// Steps 3 and 4: the moments given the variables; the model's blocks are left conditioned.
void moments_given(int n, mask_model *model, const conditioning &on, given_moments *out);

// ---- The kicks' law (kick_nodes.cpp) ----

// The conditioning variables' joint law as nodes, MOST_KICKS values each ([node * MOST_KICKS
// + i]) and a weight: each lone kick triangular on [-1, 1] (its two halves, each a six-point
// rule with the density 1 - |d| as a weight); a run of adjacent kicks through its shared
// levels, each level at six points; with no kick, the start levels z_0 and w_0, uniform.
void kick_nodes(const std::vector<int> &positions, std::vector<double> *values,
                std::vector<double> *weights);

// ---- The reduced rule over the masks (mask_rules.cpp) ----

// One term of a rule: a mask's disagreeing steps and how many masks it stands for.
typedef std::vector<std::pair<std::vector<int>, double>> mask_rule;

// Returns the rule for q <= 3 disagreeing steps among steps: families by which kicks are
// adjacent (they share a level, so their law differs), the free gaps by graded panel rules.
mask_rule masks_of(int steps, int q);

#endif
