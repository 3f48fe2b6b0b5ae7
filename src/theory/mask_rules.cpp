// The kicked-mask tier's reduced rule over the masks: families by which kicks are adjacent,
// the free gaps and first steps by panel rules graded towards the signal's ends.
#include <algorithm>
#include <iterator>
#include <numeric>
#include <utility>
#include <vector>

#include "kicked_parts.h"

namespace {

// Panels graded towards both ends of lo .. hi (a kick's effect changes fastest near the ends
// of the signal and near another kick): widths from widths at each end while they fit, one
// panel or two between. Returns the panels' ends, ascending.
std::vector<int> panel_ends(int lo, int hi, const std::vector<int> &widths)
{
    std::vector<int> left(1, lo);
    std::vector<int> right(1, hi);
    for (const int w : widths) {
        if (right.back() - left.back() < 3 * w) {
            break;
        }
        left.push_back(left.back() + w);
        right.push_back(right.back() - w);
    }
    const int rest = right.back() - left.back();
    if (rest >= 8) {
        left.push_back(left.back() + rest / 2);
    }
    std::vector<int> ends = left;
    for (auto end = right.rbegin(); end != right.rend(); ++end) {
        if (*end > ends.back()) {
            ends.push_back(*end);
        }
    }
    return ends;
}

// A rule for the sum over x = lo .. hi of omega(x) g(x): g interpolated by a quadratic on each
// panel (its ends and middle), so that each node's weight is the sum of omega times its
// Lagrange polynomial over the panel's points. Exact for g of degree 2 on every panel. The
// weights come divided by omega at the node, ready for a g that already holds omega's factor.
std::vector<std::pair<int, double>> panel_rule(int lo, int hi, const std::vector<int> &widths,
                                               double (*omega)(int, int), int parameter)
{
    std::vector<std::pair<int, double>> rule;
    if (hi - lo < 4) {
        for (int x = lo; x <= hi; ++x) {
            rule.emplace_back(x, 1.0);
        }
        return rule;
    }
    const std::vector<int> ends = panel_ends(lo, hi, widths);
    std::vector<double> weight;
    std::vector<int> nodes;
    for (std::size_t p = 0; p + 1 < ends.size(); ++p) {
        const int a = ends[p];
        const int b = ends[p + 1];
        const int m = a + (b - a) / 2;
        const int node[3] = {a, m, b};
        double w[3] = {0.0, 0.0, 0.0};
        for (int x = p == 0 ? a : a + 1; x <= b; ++x) {
            for (int i = 0; i < 3; ++i) {
                double basis = 1.0;
                for (int j = 0; j < 3; ++j) {
                    if (j != i) {
                        basis = basis * (static_cast<double>(x - node[j]) / (node[i] - node[j]));
                    }
                }
                w[i] += omega(x, parameter) * basis;
            }
        }
        for (int i = 0; i < 3; ++i) {
            if (!nodes.empty() && nodes.back() == node[i]) {
                weight.back() += w[i];
            } else {
                nodes.push_back(node[i]);
                weight.push_back(w[i]);
            }
        }
    }
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        rule.emplace_back(nodes[i], weight[i] / omega(nodes[i], parameter));
    }
    return rule;
}

double one(int, int)
{
    return 1.0;
}

// How many first steps a pattern spanning span steps has among steps steps: steps - span.
double starts(int span, int steps)
{
    return static_cast<double>(steps - span);
}

// Masks whose kicks sit at gaps (first at s, the next gaps[0] later, ...) for every first
// step, each gap pattern weighted by weight: a panel rule over s.
void add_starts(int steps, const std::vector<int> &gaps, double weight,
                const std::vector<int> &offsets, mask_rule *rule)
{
    const int span = std::accumulate(gaps.begin(), gaps.end(), 0);
    for (const auto &node : panel_rule(1, steps - span, offsets, one, 0)) {
        std::vector<int> positions(1, node.first);
        std::partial_sum(gaps.begin(), gaps.end(), std::back_inserter(positions),
                         [](int sum, int g) { return sum + g; });
        std::transform(positions.begin() + 1, positions.end(), positions.begin() + 1,
                       [&node](int offset) { return node.first + offset; });
        rule->emplace_back(positions, weight * node.second);
    }
}

double pair_count(int span, int steps)
{
    return static_cast<double>(steps - span) * static_cast<double>(span - 3);
}

} // namespace

mask_rule masks_of(int steps, int q)
{
    static const std::vector<int> fine = {2, 4, 8, 16, 32};
    static const std::vector<int> coarse = {16};
    mask_rule rule;
    if (q == 0) {
        rule.emplace_back(std::vector<int>(), 1.0);
        return rule;
    }
    if (q == 1) {
        for (int s = 1; s <= steps; ++s) {
            rule.emplace_back(std::vector<int>{s}, 1.0);
        }
        return rule;
    }
    if (q == 2) {
        add_starts(steps, {1}, 1.0, fine, &rule);
        for (const auto &g : panel_rule(2, steps - 1, fine, starts, steps)) {
            add_starts(steps, {g.first}, g.second, fine, &rule);
        }
        return rule;
    }
    add_starts(steps, {1, 1}, 1.0, coarse, &rule);
    for (const auto &g : panel_rule(2, steps - 2, coarse, starts, steps - 1)) {
        add_starts(steps, {1, g.first}, g.second, coarse, &rule);
        add_starts(steps, {g.first, 1}, g.second, coarse, &rule);
    }
    for (const auto &span : panel_rule(4, steps - 1, coarse, pair_count, steps)) {
        for (const auto &g : panel_rule(2, span.first - 2, coarse, one, 0)) {
            add_starts(steps, {g.first, span.first - g.first}, span.second * g.second, coarse,
                       &rule);
        }
    }
    return rule;
}
