// The kicked-mask tier's nodes for the law of what a mask is conditioned on: its kicks, a run
// of adjacent kicks at a time, or with no kick its start levels.
#include <cstddef>
#include <vector>

#include "kicked_parts.h"

namespace {

// Gauss-Legendre nodes and weights on [-1, 1], six points.
constexpr int KICK_NODES = 6;
constexpr double LEGENDRE_6[KICK_NODES][2] = {
    {-0.932469514203152, 0.17132449237916975},   {-0.6612093864662645, 0.36076157304813894},
    {-0.23861918608319693, 0.46791393457269137}, {0.23861918608319693, 0.46791393457269137},
    {0.6612093864662645, 0.36076157304813894},   {0.932469514203152, 0.17132449237916975}};

// No kick: the start levels z_0 and w_0, each uniform on [-1/2, 1/2] at six points.
void start_level_nodes(std::vector<double> *values, std::vector<double> *weights)
{
    values->clear();
    weights->clear();
    for (int a = 0; a < KICK_NODES; ++a) {
        for (int b = 0; b < KICK_NODES; ++b) {
            values->insert(values->end(), {LEGENDRE_6[a][0] / 2.0, LEGENDRE_6[b][0] / 2.0, 0.0});
            weights->push_back((LEGENDRE_6[a][1] / 2.0) * (LEGENDRE_6[b][1] / 2.0));
        }
    }
}

// A lone kick, triangular on [-1, 1]: each half a six-point rule weighted by 1 - |d|.
void lone_kick_nodes(std::vector<double> *own, std::vector<double> *own_weight)
{
    for (int sign = -1; sign <= 1; sign += 2) {
        for (int g = 0; g < KICK_NODES; ++g) {
            const double u = (LEGENDRE_6[g][0] + 1.0) / 2.0;
            own->push_back(sign * u);
            own_weight->push_back(LEGENDRE_6[g][1] / 2.0 * (1.0 - u));
        }
    }
}

// A run of run adjacent kicks through its run + 1 levels, each at six points: each kick the
// difference of its two levels.
void run_nodes(std::size_t run, std::vector<double> *own, std::vector<double> *own_weight)
{
    std::size_t combinations = 1;
    for (std::size_t l = 0; l <= run; ++l) {
        combinations *= KICK_NODES;
    }
    for (std::size_t index = 0; index < combinations; ++index) {
        double level[MOST_KICKS + 1];
        double weight = 1.0;
        std::size_t rest = index;
        for (std::size_t l = 0; l <= run; ++l) {
            const std::size_t g = rest % KICK_NODES;
            rest /= KICK_NODES;
            level[l] = LEGENDRE_6[g][0] / 2.0;
            weight = weight * (LEGENDRE_6[g][1] / 2.0);
        }
        for (std::size_t j = 0; j < run; ++j) {
            own->push_back(level[j + 1] - level[j]);
        }
        own_weight->push_back(weight);
    }
}

// The product of the nodes so far with a run's own, whose kicks are first .. first + run - 1.
void join_nodes(std::size_t first, std::size_t run, const std::vector<double> &own,
                const std::vector<double> &own_weight, std::vector<double> *values,
                std::vector<double> *weights)
{
    std::vector<double> joined;
    std::vector<double> joined_weight;
    for (std::size_t a = 0; a < weights->size(); ++a) {
        for (std::size_t b = 0; b < own_weight.size(); ++b) {
            const std::size_t start = joined.size();
            joined.insert(joined.end(),
                          values->begin() + static_cast<std::ptrdiff_t>(a * MOST_KICKS),
                          values->begin() + static_cast<std::ptrdiff_t>((a + 1) * MOST_KICKS));
            for (std::size_t j = 0; j < run; ++j) {
                joined[start + first + j] = own[b * run + j];
            }
            joined_weight.push_back((*weights)[a] * own_weight[b]);
        }
    }
    values->swap(joined);
    weights->swap(joined_weight);
}

} // namespace

void kick_nodes(const std::vector<int> &positions, std::vector<double> *values,
                std::vector<double> *weights)
{
    values->assign(MOST_KICKS, 0.0);
    weights->assign(1, 1.0);
    if (positions.empty()) {
        start_level_nodes(values, weights);
        return;
    }
    std::size_t first = 0; // the first kick of the run being added
    while (first < positions.size()) {
        std::size_t run = 1;
        while (first + run < positions.size() &&
               positions[first + run] == positions[first + run - 1] + 1) {
            ++run;
        }
        std::vector<double> own; // this run's own nodes: its kicks' values and weights
        std::vector<double> own_weight;
        if (run == 1) {
            lone_kick_nodes(&own, &own_weight);
        } else {
            run_nodes(run, &own, &own_weight);
        }
        join_nodes(first, run, own, own_weight, values, weights);
        first += run;
    }
}
