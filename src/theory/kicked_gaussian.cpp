// The kicked-mask tier's conditioned Gaussian: a mask's exact covariances of (z, w), the
// covariances of its kicks, and the moments of C, Vz and Vw given the kicks.
#include <cstddef>
#include <vector>

#include "kicked_parts.h"

namespace {

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

// The dot product of row i of x with row j of y, rows of size values.
double dot(std::size_t size, const std::vector<double> &x, std::size_t i,
           const std::vector<double> &y, std::size_t j)
{
    double sum = 0.0;
    for (std::size_t t = 0; t < size; ++t) {
        sum += x[i * size + t] * y[j * size + t];
    }
    return sum;
}

// Step 3: given x, the mean is (Mz, Mw) x and the covariances drop by the variables' share.
// Fills mz and mw ([j * n + t]) and conditions the model's blocks.
void condition_blocks(int n, mask_model *model, const conditioning &on, std::vector<double> *mz,
                      std::vector<double> *mw)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const std::size_t given = static_cast<std::size_t>(on.given);
    double inverse[MOST_KICKS][MOST_KICKS] = {};
    invert(on.given, on.among, inverse);
    mz->assign(size * MOST_KICKS, 0.0);
    mw->assign(size * MOST_KICKS, 0.0);
    for (std::size_t j = 0; j < given; ++j) {
        for (std::size_t i = 0; i < given; ++i) {
            for (std::size_t t = 0; t < size; ++t) {
                (*mz)[j * size + t] += on.cz[i * size + t] * inverse[i][j];
                (*mw)[j * size + t] += on.cw[i * size + t] * inverse[i][j];
            }
        }
    }
    for (std::size_t j = 0; j < given; ++j) {
        for (std::size_t t = 0; t < size; ++t) {
            const double zt = (*mz)[j * size + t];
            const double wt = (*mw)[j * size + t];
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
}

// Step 4a: the constant parts. The statistics centre z and w: the blocks enter as P A P,
// P = I - 1 1'/n. Their traces and inner products come from the uncentred blocks' sums, in
// one pass each: tr(P A P) = tr A - s_A / n and <PAP, PBP> = <A, B> - (r_A.r_B + c_A.c_B) / n
// + s_A s_B / n^2, with r, c and s the row sums, column sums and total.
void centred_base(int n, const mask_model &model, given_moments *out)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const double nn = static_cast<double>(n);
    const std::vector<double> *block[3] = {&model.zw, &model.zz, &model.ww};
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
}

// The centred mean vectors, and the blocks times them: zz Z, zw' Z, zw W, ww W ([j * n + t]).
struct mean_products {
    std::vector<double> p1;
    std::vector<double> p2;
    std::vector<double> p3;
    std::vector<double> p4;
};

// Step 4b: centres the mean vectors mz and mw and multiplies the blocks by them. Every use is
// an inner product with a centred vector, which P A P and A give alike.
void centre_means(int n, const mask_model &model, int given_count, std::vector<double> *mz,
                  std::vector<double> *mw, mean_products *out)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const std::size_t given = static_cast<std::size_t>(given_count);
    const double nn = static_cast<double>(n);
    for (std::size_t j = 0; j < given; ++j) {
        double mean_z = 0.0;
        double mean_w = 0.0;
        for (std::size_t t = 0; t < size; ++t) {
            mean_z += (*mz)[j * size + t];
            mean_w += (*mw)[j * size + t];
        }
        for (std::size_t t = 0; t < size; ++t) {
            (*mz)[j * size + t] -= mean_z / nn;
            (*mw)[j * size + t] -= mean_w / nn;
        }
    }
    out->p1.assign(size * MOST_KICKS, 0.0);
    out->p2.assign(size * MOST_KICKS, 0.0);
    out->p3.assign(size * MOST_KICKS, 0.0);
    out->p4.assign(size * MOST_KICKS, 0.0);
    for (std::size_t j = 0; j < given; ++j) {
        for (std::size_t u = 0; u < size; ++u) {
            const double zu = (*mz)[j * size + u];
            const double wu = (*mw)[j * size + u];
            const double *zz = &model.zz[u * size]; // symmetric: row u is column u
            const double *zw = &model.zw[u * size];
            const double *ww = &model.ww[u * size];
            double *o1 = &out->p1[j * size];
            double *o2 = &out->p2[j * size];
            double *o4 = &out->p4[j * size];
            for (std::size_t t = 0; t < size; ++t) {
                o1[t] += zu * zz[t];
                o2[t] += zu * zw[t];
                o4[t] += wu * ww[t];
            }
        }
        for (std::size_t t = 0; t < size; ++t) {
            out->p3[j * size + t] = dot(size, model.zw, t, *mw, j);
        }
    }
}

// Step 4c: the quadratic forms in x. For a Gaussian vector of mean m and covariance S,
// E[X'AX] = tr(AS) + m'Am and cov(X'AX, X'BX) = 2 tr(ASBS) + 4 m'ASBm.
void quadratic_forms(int n, int given_count, const std::vector<double> &mz,
                     const std::vector<double> &mw, const mean_products &p, given_moments *out)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const std::size_t given = static_cast<std::size_t>(given_count);
    const double nn = static_cast<double>(n);
    const double n2 = nn * nn;
    const auto d = [size](const std::vector<double> &x, std::size_t i, const std::vector<double> &y,
                          std::size_t j) { return dot(size, x, i, y, j); };
    int pair = 0;
    for (std::size_t i = 0; i < given; ++i) {
        for (std::size_t j = i; j < given; ++j) {
            const double twice = i == j ? 1.0 : 2.0; // x_i x_j and x_j x_i
            const double value[MOMENTS] = {
                (d(mz, i, mw, j) + d(mw, i, mz, j)) / (2.0 * nn),
                d(mz, i, mz, j) / nn,
                d(mw, i, mw, j) / nn,
                (d(mw, i, p.p1, j) + d(mw, j, p.p1, i) + d(mz, i, p.p2, j) + d(mz, j, p.p2, i)) /
                    n2,
                (d(mw, i, p.p3, j) + d(mw, j, p.p3, i) + d(mz, i, p.p4, j) + d(mz, j, p.p4, i)) /
                    n2,
                2.0 * (d(mz, i, p.p1, j) + d(mz, j, p.p1, i)) / n2,
                2.0 * (d(mw, i, p.p4, j) + d(mw, j, p.p4, i)) / n2,
                2.0 * (d(mz, i, p.p3, j) + d(mz, j, p.p3, i)) / n2};
            for (int m = 0; m < MOMENTS; ++m) {
                out->form[m][pair] = twice * value[m];
            }
            ++pair;
        }
    }
}

} // namespace

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

void moments_given(int n, mask_model *model, const conditioning &on, given_moments *out)
{
    std::vector<double> mz;
    std::vector<double> mw;
    condition_blocks(n, model, on, &mz, &mw);
    centred_base(n, *model, out);
    mean_products products;
    centre_means(n, *model, on.given, &mz, &mw, &products);
    quadratic_forms(n, on.given, mz, mw, products, out);
}
