// The kicked-mask tier: each mask with a few disagreeing steps on its own, the signal Gaussian
// given the kicks, r expanded given the kicks, the kicks integrated with their exact law; the
// masks by a reduced rule, each term weighted by the masks it stands for.
#include <cstddef>
#include <utility>
#include <vector>

#include "kicked_masks.h"
#include "testing/kicked_masks_probe.h"
#include "kicked_parts.h"
#include "moment_engine.h"

namespace {

// The mixture's running sums: E[r] and the moments its own expansion needs, weighted.
struct mixture {
    double weight;
    double r;
    double c, vz, vw;                       // first moments
    double c_vz, c_vw, vz_vz, vw_vw, vz_vw; // second moments
};

// Step 5: the expansion given each node of the variables' law, weighted, into the mixture.
void add_nodes(const std::vector<int> &positions, const given_moments &moments, int given,
               double mask_weight, mixture *sum)
{
    std::vector<double> values;
    std::vector<double> weights;
    kick_nodes(positions, &values, &weights);
    for (std::size_t node = 0; node < weights.size(); ++node) {
        const double *x = &values[node * MOST_KICKS];
        double products[PAIRS];
        int pair = 0;
        for (int i = 0; i < given; ++i) {
            for (int j = i; j < given; ++j) {
                products[pair++] = x[i] * x[j];
            }
        }
        double m[MOMENTS];
        for (int k = 0; k < MOMENTS; ++k) {
            double value = moments.base[k];
            for (int p = 0; p < pair; ++p) {
                value += moments.form[k][p] * products[p];
            }
            m[k] = value;
        }
        const double weight = mask_weight * weights[node];
        sum->weight += weight;
        sum->r += weight * expanded_r(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7]);
        sum->c += weight * m[0];
        sum->vz += weight * m[1];
        sum->vw += weight * m[2];
        sum->c_vz += weight * (m[3] + m[0] * m[1]);
        sum->c_vw += weight * (m[4] + m[0] * m[2]);
        sum->vz_vz += weight * (m[5] + m[1] * m[1]);
        sum->vw_vw += weight * (m[6] + m[2] * m[2]);
        sum->vz_vw += weight * (m[7] + m[1] * m[2]);
    }
}

// One mask: positions are its disagreeing steps (step s joins levels s - 1 and s), ascending.
void add_mask(int n, double k, const std::vector<int> &positions, double mask_weight, mixture *sum)
{
    std::vector<double> e(static_cast<std::size_t>(n), 1.0);
    for (const int s : positions) {
        e[static_cast<std::size_t>(s)] = -1.0;
    }
    mask_model model;
    mask_covariances(n, k, e, &model);
    conditioning on;
    conditioning_of(n, positions, model, &on);
    given_moments moments;
    moments_given(n, &model, on, &moments);
    add_nodes(positions, moments, on.given, mask_weight, sum);
}

} // namespace

kicked_result kicked_masks(int n, double k, int q)
{
    mixture sum = {};
    for (const auto &mask : masks_of(n - 1, q)) {
        add_mask(n, k, mask.first, mask.second, &sum);
    }
    const double w = sum.weight;
    const double mc = sum.c / w;
    const double mz = sum.vz / w;
    const double mw = sum.vw / w;
    kicked_result result = {};
    result.value = sum.r / w;
    result.expansion =
        expanded_r(mc, mz, mw, sum.c_vz / w - mc * mz, sum.c_vw / w - mc * mw,
                   sum.vz_vz / w - mz * mz, sum.vw_vw / w - mw * mw, sum.vz_vw / w - mz * mw);
    return result;
}

double kicked_mask_value(int n, double k, const std::vector<int> &positions)
{
    mixture sum = {};
    add_mask(n, k, positions, 1.0, &sum);
    return sum.r / sum.weight;
}

std::vector<std::pair<std::vector<int>, double>> kicked_mask_rule(int steps, int q)
{
    return masks_of(steps, q);
}
