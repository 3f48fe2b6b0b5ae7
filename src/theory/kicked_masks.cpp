// The kicked-mask tier: each mask with a few disagreeing steps on its own, the signal Gaussian
// given the kicks, r expanded given the kicks, the kicks integrated with their exact law.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstddef>
#include <numeric>
#include <utility>
#include <vector>

#include "kicked_masks.h"
#include "moment_engine.h"

namespace {

// Gauss-Legendre nodes and weights on [-1, 1], six points.
constexpr int KICK_NODES = 6;
constexpr double LEGENDRE_6[KICK_NODES][2] = {
    {-0.932469514203152, 0.17132449237916975},   {-0.6612093864662645, 0.36076157304813894},
    {-0.23861918608319693, 0.46791393457269137}, {0.23861918608319693, 0.46791393457269137},
    {0.6612093864662645, 0.36076157304813894},   {0.932469514203152, 0.17132449237916975}};

constexpr int MOST_KICKS = 3;

// The mixture's running sums: E[r] and the moments its own expansion needs, weighted.
struct mixture {
    double weight;
    double r;
    double c, vz, vw;                       // first moments
    double c_vz, c_vw, vz_vz, vw_vw, vz_vw; // second moments
};

// The conditioning variables' joint law as nodes, MOST_KICKS values each ([node * MOST_KICKS
// + i]) and a weight: each lone kick triangular on [-1, 1] (its two halves, each a six-point
// rule with the density 1 - |d| as a weight); a run of adjacent kicks through its shared
// levels, each level at six points; with no kick, the start levels z_0 and w_0, uniform.
void kick_nodes(const std::vector<int> &positions, std::vector<double> *values,
                std::vector<double> *weights)
{
    values->assign(MOST_KICKS, 0.0);
    weights->assign(1, 1.0);
    if (positions.empty()) {
        values->clear();
        weights->clear();
        for (int a = 0; a < KICK_NODES; ++a) {
            for (int b = 0; b < KICK_NODES; ++b) {
                values->insert(values->end(),
                               {LEGENDRE_6[a][0] / 2.0, LEGENDRE_6[b][0] / 2.0, 0.0});
                weights->push_back((LEGENDRE_6[a][1] / 2.0) * (LEGENDRE_6[b][1] / 2.0));
            }
        }
        return;
    }
    std::size_t first = 0; // the first kick of the run being added
    while (first < positions.size()) {
        std::size_t run = 1;
        while (first + run < positions.size() &&
               positions[first + run] == positions[first + run - 1] + 1) {
            ++run;
        }
        // This run's own nodes: its kicks' values and weights.
        std::vector<double> own;
        std::vector<double> own_weight;
        if (run == 1) {
            for (int sign = -1; sign <= 1; sign += 2) {
                for (int g = 0; g < KICK_NODES; ++g) {
                    const double u = (LEGENDRE_6[g][0] + 1.0) / 2.0;
                    own.push_back(sign * u);
                    own_weight.push_back(LEGENDRE_6[g][1] / 2.0 * (1.0 - u));
                }
            }
        } else {
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
                    own.push_back(level[j + 1] - level[j]);
                }
                own_weight.push_back(weight);
            }
        }
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
        first += run;
    }
}

// Inverts the q x q matrix m (q <= 3) by Gauss-Jordan elimination; it is a covariance of
// reference steps, positive definite.
void invert(int q, const double m[MOST_KICKS][MOST_KICKS], double inverse[MOST_KICKS][MOST_KICKS])
{
    double a[MOST_KICKS][2 * MOST_KICKS] = {};
    for (int i = 0; i < q; ++i) {
        for (int j = 0; j < q; ++j) {
            a[i][j] = m[i][j];
        }
        a[i][q + i] = 1.0;
    }
    for (int col = 0; col < q; ++col) {
        const double pivot = a[col][col];
        for (int j = 0; j < 2 * q; ++j) {
            a[col][j] = a[col][j] / pivot;
        }
        for (int i = 0; i < q; ++i) {
            if (i != col) {
                const double factor = a[i][col];
                for (int j = 0; j < 2 * q; ++j) {
                    a[i][j] -= factor * a[col][j];
                }
            }
        }
    }
    for (int i = 0; i < q; ++i) {
        for (int j = 0; j < q; ++j) {
            inverse[i][j] = a[i][q + j];
        }
    }
}

double frobenius(const std::vector<double> &a, const std::vector<double> &b)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += a[i] * b[i];
    }
    return sum;
}

// ---- One mask ----

// A mask's Gaussian model of (z, w): n x n blocks, row-major; zw[t * n + u] = E[z_t w_u].
struct mask_model {
    std::vector<double> zz;
    std::vector<double> zw;
    std::vector<double> ww;
};

// Step 1: the mask's exact second moments (e[t] = +1 where step t agrees, -1 where not).
void mask_covariances(int n, double k, const std::vector<double> &e, mask_model *model)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const double c = 1.0 - k;
    const double a = (1.0 + k) / 2.0; // E[1 - c U]
    const double g = c / 2.0 + k;
    const double m2 = 1.0 - c + c * c / 3.0;                       // E[(1 - c U)^2]
    const double h = c / 2.0 - c * c / 3.0 + k * a;                // what a step keeps of E[z w]
    const double fresh = c * c / 12.0 + k * k / 6.0 + c * k / 6.0; // what a step adds to E[z^2]
    std::vector<double> v(size);
    std::vector<double> d(size);
    v[0] = 1.0 / 12.0;
    d[0] = 0.0;
    for (std::size_t t = 1; t < size; ++t) {
        d[t] = e[t] * g / 12.0;
        v[t] = m2 * v[t - 1] - 2.0 * e[t] * h * d[t - 1] + fresh;
    }
    model->zz.assign(size * size, 0.0);
    model->zw.assign(size * size, 0.0);
    model->ww.assign(size * size, 0.0);
    for (std::size_t s = 0; s < size; ++s) {
        model->zz[s * size + s] = v[s];
        model->zw[s * size + s] = d[s];
        model->ww[s * size + s] = 1.0 / 12.0;
        if (s + 1 == size) {
            continue;
        }
        // Beyond one step a deviation only decays, by a a step on average.
        const double next_zz = a * v[s] - e[s + 1] * g * d[s];
        const double next_zw = a * d[s] - e[s + 1] * g / 12.0;
        double lag = 1.0;
        for (std::size_t t = s + 1; t < size; ++t) {
            model->zz[s * size + t] = lag * next_zz;
            model->zz[t * size + s] = lag * next_zz;
            model->zw[t * size + s] = lag * next_zw;
            lag = lag * a;
        }
    }
}

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

// Step 2: the conditioning variables' covariances.
void conditioning_of(int n, const std::vector<int> &positions, const mask_model &model,
                     conditioning *on)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const int q = static_cast<int>(positions.size());
    on->given = q == 0 ? 2 : q;
    on->cz.assign(size * MOST_KICKS, 0.0);
    on->cw.assign(size * MOST_KICKS, 0.0);
    if (q == 0) {
        for (std::size_t t = 0; t < size; ++t) {
            on->cz[t] = model.zz[t * size];        // with z_0
            on->cw[t] = model.zw[t];               // E[z_0 w_t]
            on->cz[size + t] = model.zw[t * size]; // with w_0
        }
        on->cw[size] = 1.0 / 12.0;
        for (std::size_t j = 0; j < 2; ++j) {
            on->among[0][j] = on->cz[j * size];
            on->among[1][j] = on->cw[j * size];
        }
        return;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(q); ++i) {
        const std::size_t s = static_cast<std::size_t>(positions[i]);
        for (std::size_t t = 0; t < size; ++t) {
            on->cz[i * size + t] = model.zw[t * size + s] - model.zw[t * size + s - 1];
        }
        on->cw[i * size + s] = 1.0 / 12.0;
        on->cw[i * size + s - 1] = -1.0 / 12.0;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(q); ++i) {
        const std::size_t s = static_cast<std::size_t>(positions[i]);
        for (std::size_t j = 0; j < static_cast<std::size_t>(q); ++j) {
            on->among[i][j] = on->cw[j * size + s] - on->cw[j * size + s - 1];
        }
    }
}

// The moments of C, Vz and Vw given the conditioning variables x: each a constant plus a
// quadratic form in x, held as packed upper triangles (off-diagonal terms doubled).
constexpr int MOMENTS = 8; // E C, E Vz, E Vw, cov(C, Vz), cov(C, Vw), var Vz, var Vw, cov(Vz, Vw)
constexpr int PAIRS = MOST_KICKS * (MOST_KICKS + 1) / 2;
struct given_moments {
    double base[MOMENTS];
    double form[MOMENTS][PAIRS];
};

// Step 3: given x, the mean is (Mz, Mw) x and the covariances drop by the variables' share;
// step 4, centred (r is a statistic of deviations from the means), the moments given x. For a
// Gaussian vector of mean m and covariance S, E[X'AX] = tr(AS) + m'Am and cov(X'AX, X'BX) =
// 2 tr(ASBS) + 4 m'ASBm.
void moments_given(int n, mask_model *model, const conditioning &on, given_moments *out)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const std::size_t given = static_cast<std::size_t>(on.given);
    double inverse[MOST_KICKS][MOST_KICKS] = {};
    invert(on.given, on.among, inverse);
    std::vector<double> mz(size * MOST_KICKS, 0.0); // [j * n + t]
    std::vector<double> mw(size * MOST_KICKS, 0.0);
    for (std::size_t j = 0; j < given; ++j) {
        for (std::size_t i = 0; i < given; ++i) {
            for (std::size_t t = 0; t < size; ++t) {
                mz[j * size + t] += on.cz[i * size + t] * inverse[i][j];
                mw[j * size + t] += on.cw[i * size + t] * inverse[i][j];
            }
        }
    }
    for (std::size_t j = 0; j < given; ++j) {
        for (std::size_t t = 0; t < size; ++t) {
            const double zt = mz[j * size + t];
            const double wt = mw[j * size + t];
            double *zz = &model->zz[t * size];
            double *zw = &model->zw[t * size];
            double *ww = &model->ww[t * size];
            for (std::size_t u = 0; u < size; ++u) {
                zz[u] -= zt * on.cz[j * size + u];
                zw[u] -= zt * on.cw[j * size + u];
                ww[u] -= wt * on.cw[j * size + u];
            }
        }
    }
    // The statistics centre z and w: the blocks enter as P A P, P = I - 1 1'/n. Their traces
    // and inner products come from the uncentred blocks' sums, in one pass each:
    // tr(P A P) = tr A - s_A / n and <PAP, PBP> = <A, B> - (r_A.r_B + c_A.c_B) / n
    // + s_A s_B / n^2, with r, c and s the row sums, column sums and total.
    const double nn = static_cast<double>(n);
    const std::vector<double> *block[3] = {&model->zw, &model->zz, &model->ww};
    std::vector<double> rows(3 * size, 0.0);
    std::vector<double> columns(3 * size, 0.0);
    double total[3] = {0.0, 0.0, 0.0};
    double trace[3] = {0.0, 0.0, 0.0};
    for (std::size_t b = 0; b < 3; ++b) {
        const std::vector<double> &m = *block[b];
        for (std::size_t t = 0; t < size; ++t) {
            double sum = 0.0;
            for (std::size_t u = 0; u < size; ++u) {
                sum += m[t * size + u];
                columns[b * size + u] += m[t * size + u];
            }
            rows[b * size + t] = sum;
            total[b] += sum;
            trace[b] += m[t * size + t];
        }
        trace[b] -= total[b] / nn;
    }
    const auto centred_inner = [&](std::size_t x, std::size_t y) {
        double sums = 0.0;
        for (std::size_t t = 0; t < size; ++t) {
            sums += rows[x * size + t] * rows[y * size + t] +
                    columns[x * size + t] * columns[y * size + t];
        }
        return frobenius(*block[x], *block[y]) - sums / nn + total[x] * total[y] / (nn * nn);
    };
    const double n2 = nn * nn;
    const double base[MOMENTS] = {trace[0] / nn,
                                  trace[1] / nn,
                                  trace[2] / nn,
                                  2.0 * centred_inner(0, 1) / n2,
                                  2.0 * centred_inner(0, 2) / n2,
                                  2.0 * centred_inner(1, 1) / n2,
                                  2.0 * centred_inner(2, 2) / n2,
                                  2.0 * centred_inner(0, 0) / n2};
    for (int m = 0; m < MOMENTS; ++m) {
        out->base[m] = base[m];
    }
    // Centred mean vectors, and the blocks times them: zz Z, zw' Z, zw W, ww W. Every use below
    // is an inner product with a centred vector, which P A P and A give alike.
    for (std::size_t j = 0; j < given; ++j) {
        double mean_z = 0.0;
        double mean_w = 0.0;
        for (std::size_t t = 0; t < size; ++t) {
            mean_z += mz[j * size + t];
            mean_w += mw[j * size + t];
        }
        for (std::size_t t = 0; t < size; ++t) {
            mz[j * size + t] -= mean_z / nn;
            mw[j * size + t] -= mean_w / nn;
        }
    }
    std::vector<double> p1(size * MOST_KICKS, 0.0);
    std::vector<double> p2(size * MOST_KICKS, 0.0);
    std::vector<double> p3(size * MOST_KICKS, 0.0);
    std::vector<double> p4(size * MOST_KICKS, 0.0);
    for (std::size_t j = 0; j < given; ++j) {
        for (std::size_t u = 0; u < size; ++u) {
            const double zu = mz[j * size + u];
            const double wu = mw[j * size + u];
            const double *zz = &model->zz[u * size]; // symmetric: row u is column u
            const double *zw = &model->zw[u * size];
            const double *ww = &model->ww[u * size];
            double *o1 = &p1[j * size];
            double *o2 = &p2[j * size];
            double *o4 = &p4[j * size];
            for (std::size_t t = 0; t < size; ++t) {
                o1[t] += zu * zz[t];
                o2[t] += zu * zw[t];
                o4[t] += wu * ww[t];
            }
        }
        for (std::size_t t = 0; t < size; ++t) {
            const double *zw = &model->zw[t * size];
            double sum = 0.0;
            for (std::size_t u = 0; u < size; ++u) {
                sum += zw[u] * mw[j * size + u];
            }
            p3[j * size + t] = sum;
        }
    }
    const auto dot = [&](const std::vector<double> &x, std::size_t i, const std::vector<double> &y,
                         std::size_t j) {
        double sum = 0.0;
        for (std::size_t t = 0; t < size; ++t) {
            sum += x[i * size + t] * y[j * size + t];
        }
        return sum;
    };
    int pair = 0;
    for (std::size_t i = 0; i < given; ++i) {
        for (std::size_t j = i; j < given; ++j) {
            const double twice = i == j ? 1.0 : 2.0; // x_i x_j and x_j x_i
            const double value[MOMENTS] = {
                (dot(mz, i, mw, j) + dot(mw, i, mz, j)) / (2.0 * nn),
                dot(mz, i, mz, j) / nn,
                dot(mw, i, mw, j) / nn,
                (dot(mw, i, p1, j) + dot(mw, j, p1, i) + dot(mz, i, p2, j) + dot(mz, j, p2, i)) /
                    n2,
                (dot(mw, i, p3, j) + dot(mw, j, p3, i) + dot(mz, i, p4, j) + dot(mz, j, p4, i)) /
                    n2,
                2.0 * (dot(mz, i, p1, j) + dot(mz, j, p1, i)) / n2,
                2.0 * (dot(mw, i, p4, j) + dot(mw, j, p4, i)) / n2,
                2.0 * (dot(mz, i, p3, j) + dot(mz, j, p3, i)) / n2};
            for (int m = 0; m < MOMENTS; ++m) {
                out->form[m][pair] = twice * value[m];
            }
            ++pair;
        }
    }
}

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

// ---- A reduced rule over the masks ----

// One term of a rule: a mask's disagreeing steps and how many masks it stands for.
typedef std::vector<std::pair<std::vector<int>, double>> mask_rule;

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

// The rule for q disagreeing steps among steps: families by which kicks are adjacent (they
// share a level, so their law differs), the free gaps by graded panel rules, nested.
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
