// The moment engine: for every monomial of the running sums the targets need, and every count
// j of disagreeing steps so far, the sum over those masks of E[monomial ; w_t = x], held at
// Gauss-Legendre nodes in x and carried forward one level at a time.
#include <array>
#include <cmath>
#include <cstddef>
#include <map>
#include <stdexcept>
#include <vector>
#include <algorithm>

#include "moment_engine.h"

namespace {

// ---- The level's nodes ----

constexpr int NODES = 12;

// Gauss-Legendre nodes and weights on [-1, 1]; halved, they serve [-1/2, 1/2] exactly.
constexpr double LEGENDRE_12[NODES][2] = {
    {-0.9815606342467192, 0.04717533638651202}, {-0.9041172563704748, 0.10693932599531888},
    {-0.7699026741943047, 0.1600783285433461},  {-0.5873179542866175, 0.20316742672306565},
    {-0.3678314989981802, 0.23349253653835464}, {-0.1252334085114689, 0.2491470458134027},
    {0.1252334085114689, 0.2491470458134027},   {0.3678314989981802, 0.23349253653835464},
    {0.5873179542866175, 0.20316742672306565},  {0.7699026741943047, 0.1600783285433461},
    {0.9041172563704748, 0.10693932599531888},  {0.9815606342467192, 0.04717533638651202}};

constexpr int MOST_POWER = 4;     // the highest power of the old level a step's polynomial holds
constexpr int MOST_NEW_POWER = 6; // and of the new level

struct level_nodes {
    double x[NODES];      // nodes on [-1/2, 1/2]
    double weight[NODES]; // their weights, summing to 1: the level's density is 1
    // lower[p][i][m]: the integral from -1/2 to x[i] of l_m(x) x^p, l_m the Lagrange basis
    // polynomial of node m; exact, by the same rule mapped onto [-1/2, x[i]], for degree 11 + p.
    double lower[MOST_POWER + 1][NODES][NODES];
    double power[NODES][MOST_NEW_POWER + 1]; // x[i]^p
};

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

// ---- Polynomials in the state and the step's variables ----

// The state (z, Z, W, P, Szz, Sww) after a level, then the step's own variables: the old
// level x, the new level x', the draw U and the indicator A that the coupled step goes up.
enum variable { V_Z1, V_ZSUM, V_WSUM, V_P, V_SZZ, V_SWW, V_X, V_XNEW, V_U, V_A, VARIABLES };
constexpr int STATE_VARIABLES = V_X;

typedef std::array<unsigned char, VARIABLES> exponents;
typedef std::map<exponents, double> polynomial;

polynomial single(int var, double coef)
{
    exponents e = {};
    e[var] = 1;
    return polynomial{{e, coef}};
}

polynomial constant(double coef)
{
    return polynomial{{exponents{}, coef}};
}

polynomial add(const polynomial &a, const polynomial &b)
{
    polynomial sum = a;
    for (const auto &term : b) {
        sum[term.first] += term.second;
    }
    return sum;
}

polynomial multiply(const polynomial &a, const polynomial &b)
{
    polynomial product;
    for (const auto &ta : a) {
        for (const auto &tb : b) {
            exponents e = ta.first;
            for (int v = 0; v < VARIABLES; ++v) {
                e[v] = static_cast<unsigned char>(e[v] + tb.first[v]);
            }
            product[e] += ta.second * tb.second;
        }
    }
    return product;
}

polynomial power(const polynomial &a, int n)
{
    polynomial result = constant(1.0);
    for (int i = 0; i < n; ++i) {
        result = multiply(result, a);
    }
    return result;
}

// The exponents once the draw is averaged out and the indicator reduced (A^m = A).
exponents without_draw(exponents e)
{
    e[V_U] = 0;
    e[V_A] = static_cast<unsigned char>(e[V_A] > 0 ? 1 : 0);
    return e;
}

// A state monomial's exponents of (z, Z, W, P, Szz, Sww).
typedef std::array<unsigned char, STATE_VARIABLES> monomial;

// The monomial after one step, as a polynomial in the state before it and the step's
// variables, averaged over the draw (E[U^m] = 1/(m + 1)) with A^m = A.
polynomial step_polynomial(const monomial &m, double k, double e)
{
    const double c = 1.0 - k;
    // z' = z - c U z + c U A - (c / 2) U + k e x' - k e x
    polynomial z_new = single(V_Z1, 1.0);
    z_new = add(z_new, multiply(single(V_U, -c), single(V_Z1, 1.0)));
    z_new = add(z_new, multiply(single(V_U, c), single(V_A, 1.0)));
    z_new = add(z_new, single(V_U, -c / 2.0));
    z_new = add(z_new, single(V_XNEW, k * e));
    z_new = add(z_new, single(V_X, -k * e));
    const polynomial x_new = single(V_XNEW, 1.0);
    const polynomial updated[STATE_VARIABLES] = {z_new,
                                                 add(single(V_ZSUM, 1.0), z_new),
                                                 add(single(V_WSUM, 1.0), x_new),
                                                 add(single(V_P, 1.0), multiply(z_new, x_new)),
                                                 add(single(V_SZZ, 1.0), multiply(z_new, z_new)),
                                                 add(single(V_SWW, 1.0), multiply(x_new, x_new))};
    polynomial result = constant(1.0);
    for (int v = 0; v < STATE_VARIABLES; ++v) {
        result = multiply(result, power(updated[v], m[v]));
    }
    polynomial averaged;
    for (const auto &term : result) {
        const double draw_mean = 1.0 / static_cast<double>(term.first[V_U] + 1);
        averaged[without_draw(term.first)] += term.second * draw_mean;
    }
    return averaged;
}

monomial state_part(const exponents &e)
{
    monomial m = {};
    for (int v = 0; v < STATE_VARIABLES; ++v) {
        m[v] = e[v];
    }
    return m;
}

// ---- The engine's monomials and step rules ----

// What a step integrates over the old level: an old monomial's function times x^old_power,
// over the whole range, or (indicator) below each new node.
struct engine_source {
    int old_index;
    int old_power;
    bool indicator;
};

// One new monomial's share of a source on one branch (0 agree, 1 disagree: the count moves
// up one), weighted at each new node by a polynomial in the new level. On the disagreeing
// branch an indicator source is taken above the node: whole minus below.
struct engine_term {
    int target;
    int branch;
    std::size_t source;
    std::size_t whole;                   // the same old monomial and power over the whole range
    double coef[NODES];                  // the weight at each new node
    double by_power[MOST_NEW_POWER + 1]; // the same weight as a polynomial in the new level
};

monomial make_monomial(std::initializer_list<int> counts)
{
    monomial m = {};
    int v = 0;
    for (const int count : counts) {
        m[v++] = static_cast<unsigned char>(count);
    }
    return m;
}

// The blocks whose first and second moments give C, Vz and Vw: P, Z W, Szz, Z^2, Sww, W^2.
constexpr int BLOCKS = 6;
constexpr monomial BLOCK[BLOCKS] = {monomial{{0, 0, 0, 1, 0, 0}}, monomial{{0, 1, 1, 0, 0, 0}},
                                    monomial{{0, 0, 0, 0, 1, 0}}, monomial{{0, 2, 0, 0, 0, 0}},
                                    monomial{{0, 0, 0, 0, 0, 1}}, monomial{{0, 0, 2, 0, 0, 0}}};

monomial times(const monomial &a, const monomial &b)
{
    monomial m = {};
    for (int v = 0; v < STATE_VARIABLES; ++v) {
        m[v] = static_cast<unsigned char>(a[v] + b[v]);
    }
    return m;
}

struct engine_plan {
    std::vector<monomial> monomials;    // the closure, in order of discovery
    std::map<monomial, int> index;      // and each one's place
    std::vector<engine_source> sources; // every integral a step takes
    std::vector<engine_term> terms;     // and how the new monomials combine them
};

int place_of(engine_plan *plan, const monomial &m)
{
    const auto found = plan->index.find(m);
    if (found != plan->index.end()) {
        return found->second;
    }
    const int place = static_cast<int>(plan->monomials.size());
    plan->monomials.push_back(m);
    plan->index[m] = place;
    return place;
}

// The closure of the targets under one step, and its rules at coupling k. The structure
// doesn't depend on k (a coefficient that vanishes at k = 0 or 1 stays a zero term).
engine_plan make_plan(const level_nodes &nodes, double k)
{
    engine_plan plan;
    place_of(&plan, monomial{});
    place_of(&plan, make_monomial({1, 0, 0, 0, 0, 0}));
    place_of(&plan, make_monomial({2, 0, 0, 0, 0, 0}));
    for (int a = 0; a < BLOCKS; ++a) {
        place_of(&plan, BLOCK[a]);
        for (int b = a; b < BLOCKS; ++b) {
            place_of(&plan, times(BLOCK[a], BLOCK[b]));
        }
    }
    for (int branch = 0; branch < 2; ++branch) {
        const double e = branch == 0 ? 1.0 : -1.0;
        // Structure from a generic coupling, so that no term is lost where k makes it zero.
        for (std::size_t i = 0; i < plan.monomials.size(); ++i) {
            const polynomial generic = step_polynomial(plan.monomials[i], 0.375, e);
            for (const auto &term : generic) {
                place_of(&plan, state_part(term.first));
            }
        }
    }
    std::map<std::array<int, 3>, std::size_t> source_place;
    const auto source_of = [&](int old_index, int old_power, bool indicator) {
        const std::array<int, 3> key = {old_index, old_power, indicator ? 1 : 0};
        const auto found = source_place.find(key);
        if (found != source_place.end()) {
            return found->second;
        }
        plan.sources.push_back(engine_source{old_index, old_power, indicator});
        source_place[key] = plan.sources.size() - 1;
        return plan.sources.size() - 1;
    };
    for (int branch = 0; branch < 2; ++branch) {
        const double e = branch == 0 ? 1.0 : -1.0;
        for (std::size_t i = 0; i < plan.monomials.size(); ++i) {
            std::map<std::size_t, std::size_t> term_of_source;
            for (const auto &term : step_polynomial(plan.monomials[i], k, e)) {
                const int old_power = term.first[V_X];
                const int new_power = term.first[V_XNEW];
                if (old_power > MOST_POWER || new_power > MOST_NEW_POWER) {
                    throw std::logic_error("a step's polynomial exceeds the engine's powers");
                }
                const int old_index = plan.index.at(state_part(term.first));
                const bool indicator = term.first[V_A] != 0;
                const std::size_t whole = source_of(old_index, old_power, false);
                const std::size_t source = source_of(old_index, old_power, indicator);
                auto found = term_of_source.find(source);
                if (found == term_of_source.end()) {
                    engine_term fresh = {static_cast<int>(i), branch, source, whole, {}, {}};
                    plan.terms.push_back(fresh);
                    found = term_of_source.emplace(source, plan.terms.size() - 1).first;
                }
                for (int node = 0; node < NODES; ++node) {
                    plan.terms[found->second].coef[node] +=
                        term.second * nodes.power[node][new_power];
                }
                plan.terms[found->second].by_power[new_power] += term.second;
            }
        }
    }
    return plan;
}

// E[z_0^p] for z_0 uniform on [-1/2, 1/2].
double uniform_moment(int p)
{
    if (p % 2 != 0) {
        return 0.0;
    }
    double value = 1.0;
    for (int i = 0; i < p; ++i) {
        value = value / 2.0;
    }
    return value / static_cast<double>(p + 1);
}

} // namespace

std::vector<double> pascal_row(int m)
{
    std::vector<double> row(static_cast<std::size_t>(m) + 1, 0.0);
    row[0] = 1.0;
    for (int i = 1; i <= m; ++i) {
        for (int j = i; j >= 1; --j) {
            row[static_cast<std::size_t>(j)] += row[static_cast<std::size_t>(j) - 1];
        }
    }
    return row;
}

void run_moment_engine(int n, double k, int last_q, std::vector<signal_moments> *moments,
                       level_moments *levels)
{
    static const level_nodes nodes = make_nodes();
    const engine_plan plan = make_plan(nodes, k);
    const int count = static_cast<int>(plan.monomials.size());
    const std::size_t counts = static_cast<std::size_t>(last_q) + 1;
    // f[(m * NODES + i) * counts + j]: monomial m at node i, j disagreements so far; the counts
    // run innermost, so that each operation below is one pass over a row of them.
    const auto row = [counts](int m, int i) {
        return (static_cast<std::size_t>(m) * NODES + static_cast<std::size_t>(i)) * counts;
    };
    std::vector<double> f(static_cast<std::size_t>(count) * NODES * counts, 0.0);
    std::vector<double> next(f.size(), 0.0);

    // Step 1: the first level. Z = z_0, W = w_0, P = z_0 w_0, Szz = z_0^2, Sww = w_0^2.
    for (int m = 0; m < count; ++m) {
        const monomial &e = plan.monomials[static_cast<std::size_t>(m)];
        const int z_power = e[V_Z1] + e[V_ZSUM] + e[V_P] + 2 * e[V_SZZ];
        const int w_power = e[V_WSUM] + e[V_P] + 2 * e[V_SWW];
        for (int i = 0; i < NODES; ++i) {
            double x_power = 1.0;
            for (int p = 0; p < w_power; ++p) {
                x_power = x_power * nodes.x[i];
            }
            f[row(m, i)] = uniform_moment(z_power) * x_power;
        }
    }
    const int z1 = plan.index.at(make_monomial({1, 0, 0, 0, 0, 0}));
    const int z2 = plan.index.at(make_monomial({2, 0, 0, 0, 0, 0}));
    if (levels != nullptr) {
        levels->zz.assign(static_cast<std::size_t>(n) * counts, 0.0);
        levels->zw.assign(levels->zz.size(), 0.0);
    }
    const auto record = [&](int t, std::size_t used) {
        if (levels == nullptr) {
            return;
        }
        double *zz = &levels->zz[static_cast<std::size_t>(t) * counts];
        double *zw = &levels->zw[static_cast<std::size_t>(t) * counts];
        for (int i = 0; i < NODES; ++i) {
            const double *fz2 = &f[row(z2, i)];
            const double *fz1 = &f[row(z1, i)];
            for (std::size_t j = 0; j < used; ++j) {
                zz[j] += nodes.weight[i] * fz2[j];
                zw[j] += nodes.weight[i] * (fz1[j] * nodes.x[i]);
            }
        }
    };
    record(0, 1);

    // Step 2: each further level. Every source (an old monomial times a power of the old
    // level, over the whole range or below each new node) is integrated once per count; each
    // new monomial adds its sources weighted by their polynomials in the new level.
    const std::size_t source_count = plan.sources.size();
    std::vector<double> integral(source_count * NODES * counts);
    std::vector<double> gathered(static_cast<std::size_t>(count) * 2 * (MOST_NEW_POWER + 1) *
                                 counts);
    const auto gathered_row = [counts](int m, int branch, int p) {
        return ((static_cast<std::size_t>(m) * 2 + static_cast<std::size_t>(branch)) *
                    (MOST_NEW_POWER + 1) +
                static_cast<std::size_t>(p)) *
               counts;
    };
    for (int t = 1; t < n; ++t) {
        const std::size_t old_used = static_cast<std::size_t>(t < last_q + 1 ? t : last_q + 1);
        const std::size_t new_used =
            static_cast<std::size_t>(t + 1 < last_q + 1 ? t + 1 : last_q + 1);
        for (std::size_t s = 0; s < source_count; ++s) {
            const engine_source &source = plan.sources[s];
            // A whole-range integral is the same at every new node: row 0 holds it.
            const int rows = source.indicator ? NODES : 1;
            for (int i = 0; i < rows; ++i) {
                double *out = &integral[(s * NODES + static_cast<std::size_t>(i)) * counts];
                std::fill(out, out + old_used, 0.0);
                for (int l = 0; l < NODES; ++l) {
                    const double weight = source.indicator
                                              ? nodes.lower[source.old_power][i][l]
                                              : nodes.weight[l] * nodes.power[l][source.old_power];
                    const double *in = &f[row(source.old_index, l)];
                    for (std::size_t j = 0; j < old_used; ++j) {
                        out[j] += weight * in[j];
                    }
                }
            }
        }
        std::fill(next.begin(), next.end(), 0.0);
        // A whole-range source's integral is the same at every new node: its terms are
        // gathered by power of the new level first, and spread over the nodes once per new
        // monomial and branch.
        std::fill(gathered.begin(), gathered.end(), 0.0);
        for (const engine_term &term : plan.terms) {
            const engine_source &source = plan.sources[term.source];
            const std::size_t used =
                old_used + term.branch > new_used ? new_used - term.branch : old_used;
            if (!source.indicator) {
                const double *in = &integral[term.source * NODES * counts];
                for (int p = 0; p <= MOST_NEW_POWER; ++p) {
                    const double coef = term.by_power[p];
                    if (coef == 0.0) {
                        continue;
                    }
                    double *out = &gathered[gathered_row(term.target, term.branch, p)];
                    for (std::size_t j = 0; j < used; ++j) {
                        out[j] += coef * in[j];
                    }
                }
                continue;
            }
            for (int i = 0; i < NODES; ++i) {
                const double coef = term.coef[i];
                const double *in =
                    &integral[(term.source * NODES + static_cast<std::size_t>(i)) * counts];
                double *out = &next[row(term.target, i)] + term.branch;
                if (term.branch == 1) {
                    // Above the new node: the whole range minus below.
                    const double *whole = &integral[term.whole * NODES * counts];
                    for (std::size_t j = 0; j < used; ++j) {
                        out[j] += coef * (whole[j] - in[j]);
                    }
                } else {
                    for (std::size_t j = 0; j < used; ++j) {
                        out[j] += coef * in[j];
                    }
                }
            }
        }
        for (int m = 0; m < count; ++m) {
            for (int branch = 0; branch < 2; ++branch) {
                const std::size_t shift = static_cast<std::size_t>(branch);
                const std::size_t used = old_used + shift > new_used ? new_used - shift : old_used;
                for (int p = 0; p <= MOST_NEW_POWER; ++p) {
                    const double *in = &gathered[gathered_row(m, branch, p)];
                    for (int i = 0; i < NODES; ++i) {
                        const double x = nodes.power[i][p];
                        double *out = &next[row(m, i)] + shift;
                        for (std::size_t j = 0; j < used; ++j) {
                            out[j] += x * in[j];
                        }
                    }
                }
            }
        }
        f.swap(next);
        record(t, new_used);
    }

    // Step 3: the moments of each q, divided by the number of masks with q disagreements.
    const std::vector<double> masks = pascal_row(n - 1);
    const auto expect = [&](const monomial &m, int q) {
        const int place = plan.index.at(m);
        double sum = 0.0;
        for (int i = 0; i < NODES; ++i) {
            sum += nodes.weight[i] * f[row(place, i) + static_cast<std::size_t>(q)];
        }
        return sum / masks[static_cast<std::size_t>(q)];
    };
    const double nn = static_cast<double>(n);
    const double form[3][BLOCKS] = {{1.0 / nn, -1.0 / (nn * nn), 0.0, 0.0, 0.0, 0.0},
                                    {0.0, 0.0, 1.0 / nn, -1.0 / (nn * nn), 0.0, 0.0},
                                    {0.0, 0.0, 0.0, 0.0, 1.0 / nn, -1.0 / (nn * nn)}};
    moments->assign(counts, signal_moments{});
    for (int q = 0; q <= last_q; ++q) {
        double first[BLOCKS];
        double second[BLOCKS][BLOCKS];
        for (int a = 0; a < BLOCKS; ++a) {
            first[a] = expect(BLOCK[a], q);
            for (int b = a; b < BLOCKS; ++b) {
                second[a][b] = expect(times(BLOCK[a], BLOCK[b]), q);
                second[b][a] = second[a][b];
            }
        }
        double mean[3];
        double product[3][3];
        for (int u = 0; u < 3; ++u) {
            mean[u] = 0.0;
            for (int a = 0; a < BLOCKS; ++a) {
                mean[u] += form[u][a] * first[a];
            }
            for (int v = 0; v < 3; ++v) {
                double sum = 0.0;
                for (int a = 0; a < BLOCKS; ++a) {
                    for (int b = 0; b < BLOCKS; ++b) {
                        sum += form[u][a] * (form[v][b] * second[a][b]);
                    }
                }
                product[u][v] = sum;
            }
        }
        (*moments)[static_cast<std::size_t>(q)] = signal_moments{
            mean[0],       mean[1],       mean[2],       product[0][0], product[0][1],
            product[0][2], product[1][1], product[1][2], product[2][2]};
    }
}

double expanded_r(double mean_c, double mean_vz, double mean_vw, double cov_c_vz, double cov_c_vw,
                  double var_vz, double var_vw, double cov_vz_vw)
{
    const double root = std::sqrt(mean_vz * mean_vw);
    const double g = mean_c / root;
    return g - cov_c_vz / (2.0 * mean_vz * root) - cov_c_vw / (2.0 * mean_vw * root) +
           g * (3.0 * var_vz / (8.0 * mean_vz * mean_vz) +
                3.0 * var_vw / (8.0 * mean_vw * mean_vw) + cov_vz_vw / (4.0 * mean_vz * mean_vw));
}

double second_order_r(const signal_moments &m)
{
    return expanded_r(m.mean_c, m.mean_vz, m.mean_vw, m.c_vz - m.mean_c * m.mean_vz,
                      m.c_vw - m.mean_c * m.mean_vw, m.vz_vz - m.mean_vz * m.mean_vz,
                      m.vw_vw - m.mean_vw * m.mean_vw, m.vz_vw - m.mean_vz * m.mean_vw);
}
