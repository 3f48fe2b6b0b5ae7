// The moment engine: for every monomial of the running sums the targets need, and every count
// j of disagreeing steps so far, the sum over those masks of E[monomial ; w_t = x], held at
// Gauss-Legendre nodes in x and carried forward one level at a time; then the moments of each
// q from the last level, and the second-order expansion of r from them.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "engine_plan.h"
#include "moment_engine.h"

namespace {

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

// One run's values and scratch. f[(m * NODES + i) * counts + j]: monomial m at node i, j
// disagreements so far; the counts run innermost, so that each operation below is one pass
// over a row of them.
struct engine_run {
    const level_nodes &nodes;
    const engine_plan &plan;
    int count;                    // the plan's monomials
    std::size_t counts;           // the disagreement counts held: last_q + 1
    std::vector<double> f;        // the current level
    std::vector<double> next;     // the level being made
    std::vector<double> integral; // [(source * NODES + new node) * counts + j]
    std::vector<double> gathered; // [((m * 2 + branch) * (MOST_NEW_POWER + 1) + p) * counts + j]

    std::size_t row(int m, int i) const
    {
        return (static_cast<std::size_t>(m) * NODES + static_cast<std::size_t>(i)) * counts;
    }
    std::size_t gathered_row(int m, int branch, int p) const
    {
        return ((static_cast<std::size_t>(m) * 2 + static_cast<std::size_t>(branch)) *
                    (MOST_NEW_POWER + 1) +
                static_cast<std::size_t>(p)) *
               counts;
    }
};

// Step 1: the first level. Z = z_0, W = w_0, P = z_0 w_0, Szz = z_0^2, Sww = w_0^2.
void start_level(engine_run *run)
{
    for (int m = 0; m < run->count; ++m) {
        const monomial &e = run->plan.monomials[static_cast<std::size_t>(m)];
        const int z_power = e[V_Z1] + e[V_ZSUM] + e[V_P] + 2 * e[V_SZZ];
        const int w_power = e[V_WSUM] + e[V_P] + 2 * e[V_SWW];
        for (int i = 0; i < NODES; ++i) {
            double x_power = 1.0;
            for (int p = 0; p < w_power; ++p) {
                x_power = x_power * run->nodes.x[i];
            }
            run->f[run->row(m, i)] = uniform_moment(z_power) * x_power;
        }
    }
}

// Adds level t's sums of E[z_t^2] and E[z_t w_t] over counts 0 .. used - 1 into levels; z1 and
// z2 are the places of z and z^2.
void record_level(const engine_run &run, int z1, int z2, int t, std::size_t used,
                  level_moments *levels)
{
    double *zz = &levels->zz[static_cast<std::size_t>(t) * run.counts];
    double *zw = &levels->zw[static_cast<std::size_t>(t) * run.counts];
    for (int i = 0; i < NODES; ++i) {
        const double *fz2 = &run.f[run.row(z2, i)];
        const double *fz1 = &run.f[run.row(z1, i)];
        for (std::size_t j = 0; j < used; ++j) {
            zz[j] += run.nodes.weight[i] * fz2[j];
            zw[j] += run.nodes.weight[i] * (fz1[j] * run.nodes.x[i]);
        }
    }
}

// Step 2a: every source (an old monomial times a power of the old level, over the whole range
// or below each new node), integrated once per count. A whole-range integral is the same at
// every new node: row 0 holds it.
void integrate_sources(engine_run *run, std::size_t old_used)
{
    const level_nodes &nodes = run->nodes;
    for (std::size_t s = 0; s < run->plan.sources.size(); ++s) {
        const engine_source &source = run->plan.sources[s];
        const int rows = source.indicator ? NODES : 1;
        for (int i = 0; i < rows; ++i) {
            double *out = &run->integral[(s * NODES + static_cast<std::size_t>(i)) * run->counts];
            std::fill(out, out + old_used, 0.0);
            for (int l = 0; l < NODES; ++l) {
                const double weight = source.indicator
                                          ? nodes.lower[source.old_power][i][l]
                                          : nodes.weight[l] * nodes.power[l][source.old_power];
                const double *in = &run->f[run->row(source.old_index, l)];
                for (std::size_t j = 0; j < old_used; ++j) {
                    out[j] += weight * in[j];
                }
            }
        }
    }
}

// A whole-range term, gathered by power of the new level (spread over the nodes later).
void gather_whole_term(engine_run *run, const engine_term &term, std::size_t used)
{
    const double *in = &run->integral[term.source * NODES * run->counts];
    for (int p = 0; p <= MOST_NEW_POWER; ++p) {
        const double coef = term.by_power[p];
        if (coef == 0.0) {
            continue;
        }
        double *out = &run->gathered[run->gathered_row(term.target, term.branch, p)];
        for (std::size_t j = 0; j < used; ++j) {
            out[j] += coef * in[j];
        }
    }
}

// An indicator term, at each new node: below the node on the agreeing branch, above it (the
// whole range minus below) on the disagreeing one, whose count moves up one.
void add_indicator_term(engine_run *run, const engine_term &term, std::size_t used)
{
    for (int i = 0; i < NODES; ++i) {
        const double coef = term.coef[i];
        const double *in =
            &run->integral[(term.source * NODES + static_cast<std::size_t>(i)) * run->counts];
        double *out = &run->next[run->row(term.target, i)] + term.branch;
        if (term.branch == 1) {
            const double *whole = &run->integral[term.whole * NODES * run->counts];
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

// Step 2b: each new monomial adds its sources weighted by their polynomials in the new level.
// A whole-range source's integral is the same at every new node: its terms are gathered by
// power of the new level first, and spread over the nodes once per new monomial and branch.
void add_terms(engine_run *run, std::size_t old_used, std::size_t new_used)
{
    std::fill(run->next.begin(), run->next.end(), 0.0);
    std::fill(run->gathered.begin(), run->gathered.end(), 0.0);
    for (const engine_term &term : run->plan.terms) {
        const std::size_t used =
            old_used + term.branch > new_used ? new_used - term.branch : old_used;
        if (!run->plan.sources[term.source].indicator) {
            gather_whole_term(run, term, used);
        } else {
            add_indicator_term(run, term, used);
        }
    }
    for (int m = 0; m < run->count; ++m) {
        for (int branch = 0; branch < 2; ++branch) {
            const std::size_t shift = static_cast<std::size_t>(branch);
            const std::size_t used = old_used + shift > new_used ? new_used - shift : old_used;
            for (int p = 0; p <= MOST_NEW_POWER; ++p) {
                const double *in = &run->gathered[run->gathered_row(m, branch, p)];
                for (int i = 0; i < NODES; ++i) {
                    const double x = run->nodes.power[i][p];
                    double *out = &run->next[run->row(m, i)] + shift;
                    for (std::size_t j = 0; j < used; ++j) {
                        out[j] += x * in[j];
                    }
                }
            }
        }
    }
}

// The mean over the masks with q disagreements of monomial m at the last level.
double expect(const engine_run &run, const std::vector<double> &masks, const monomial &m, int q)
{
    const int place = run.plan.index.at(m);
    double sum = 0.0;
    for (int i = 0; i < NODES; ++i) {
        sum += run.nodes.weight[i] * run.f[run.row(place, i) + static_cast<std::size_t>(q)];
    }
    return sum / masks[static_cast<std::size_t>(q)];
}

// Step 3: the moments of one q. C, Vz and Vw are linear forms in the blocks (form, a row
// each), so their first and second moments come from the blocks' own.
signal_moments moments_at(const engine_run &run, const std::vector<double> &masks,
                          const double (&form)[3][BLOCKS], int q)
{
    double first[BLOCKS];
    double second[BLOCKS][BLOCKS];
    for (int a = 0; a < BLOCKS; ++a) {
        first[a] = expect(run, masks, BLOCK[a], q);
        for (int b = a; b < BLOCKS; ++b) {
            second[a][b] = expect(run, masks, times(BLOCK[a], BLOCK[b]), q);
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
    return signal_moments{mean[0],       mean[1],       mean[2],       product[0][0], product[0][1],
                          product[0][2], product[1][1], product[1][2], product[2][2]};
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
    const std::size_t values = static_cast<std::size_t>(count) * NODES * counts;
    engine_run run = {
        nodes,
        plan,
        count,
        counts,
        std::vector<double>(values, 0.0),
        std::vector<double>(values, 0.0),
        std::vector<double>(plan.sources.size() * NODES * counts),
        std::vector<double>(static_cast<std::size_t>(count) * 2 * (MOST_NEW_POWER + 1) * counts)};
    start_level(&run);
    const int z1 = plan.index.at(make_monomial({1, 0, 0, 0, 0, 0}));
    const int z2 = plan.index.at(make_monomial({2, 0, 0, 0, 0, 0}));
    if (levels != nullptr) {
        levels->zz.assign(static_cast<std::size_t>(n) * counts, 0.0);
        levels->zw.assign(levels->zz.size(), 0.0);
        record_level(run, z1, z2, 0, 1, levels);
    }
    // Step 2: each further level.
    for (int t = 1; t < n; ++t) {
        const std::size_t old_used = static_cast<std::size_t>(t < last_q + 1 ? t : last_q + 1);
        const std::size_t new_used =
            static_cast<std::size_t>(t + 1 < last_q + 1 ? t + 1 : last_q + 1);
        integrate_sources(&run, old_used);
        add_terms(&run, old_used, new_used);
        run.f.swap(run.next);
        if (levels != nullptr) {
            record_level(run, z1, z2, t, new_used, levels);
        }
    }
    // Step 3: the moments of each q, divided by the number of masks with q disagreements.
    const std::vector<double> masks = pascal_row(n - 1);
    const double nn = static_cast<double>(n);
    const double form[3][BLOCKS] = {{1.0 / nn, -1.0 / (nn * nn), 0.0, 0.0, 0.0, 0.0},
                                    {0.0, 0.0, 1.0 / nn, -1.0 / (nn * nn), 0.0, 0.0},
                                    {0.0, 0.0, 0.0, 0.0, 1.0 / nn, -1.0 / (nn * nn)}};
    moments->assign(counts, signal_moments{});
    for (int q = 0; q <= last_q; ++q) {
        (*moments)[static_cast<std::size_t>(q)] = moments_at(run, masks, form, q);
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
