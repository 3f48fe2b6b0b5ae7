// The moment engine's level nodes: the 12-point Gauss-Legendre rule on the level's range, and
// the integrals of its Lagrange basis below each node that an indicator source takes.
#include "engine_plan.h"

namespace {

// Gauss-Legendre nodes and weights on [-1, 1]; halved, they serve [-1/2, 1/2] exactly.
constexpr double LEGENDRE_12[NODES][2] = {
    {-0.9815606342467192, 0.04717533638651202}, {-0.9041172563704748, 0.10693932599531888},
    {-0.7699026741943047, 0.1600783285433461},  {-0.5873179542866175, 0.20316742672306565},
    {-0.3678314989981802, 0.23349253653835464}, {-0.1252334085114689, 0.2491470458134027},
    {0.1252334085114689, 0.2491470458134027},   {0.3678314989981802, 0.23349253653835464},
    {0.5873179542866175, 0.20316742672306565},  {0.7699026741943047, 0.1600783285433461},
    {0.9041172563704748, 0.10693932599531888},  {0.9815606342467192, 0.04717533638651202}};

double lagrange_basis(const level_nodes &nodes, int m, double y)
{
    double value = 1.0;
    for (int l = 0; l < NODES; ++l) {
        if (l != m) {
            value = value * ((y - nodes.x[l]) / (nodes.x[m] - nodes.x[l]));
        }
    }
    return value;
}

} // namespace

level_nodes make_nodes()
{
    level_nodes nodes = {};
    for (int i = 0; i < NODES; ++i) {
        nodes.x[i] = LEGENDRE_12[i][0] / 2.0;
        nodes.weight[i] = LEGENDRE_12[i][1] / 2.0;
    }
    for (int i = 0; i < NODES; ++i) {
        nodes.power[i][0] = 1.0;
        for (int p = 1; p <= MOST_NEW_POWER; ++p) {
            nodes.power[i][p] = nodes.power[i][p - 1] * nodes.x[i];
        }
    }
    for (int i = 0; i < NODES; ++i) {
        const double half_width = (nodes.x[i] + 0.5) / 2.0;
        for (int g = 0; g < NODES; ++g) {
            const double y = -0.5 + half_width * (LEGENDRE_12[g][0] + 1.0);
            const double w = half_width * LEGENDRE_12[g][1];
            for (int m = 0; m < NODES; ++m) {
                double term = w * lagrange_basis(nodes, m, y);
                for (int p = 0; p <= MOST_POWER; ++p) {
                    nodes.lower[p][i][m] += term;
                    term = term * y;
                }
            }
        }
    }
    return nodes;
}
