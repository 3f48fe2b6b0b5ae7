// The Gaussian anchor: the model's covariances from the engine's per-level sums, averaged over
// the masks with q disagreeing steps, then E[C Vz^(-1/2)] as a one-dimensional integral over the
// eigenvalues of the centred covariance.
#include <cmath>
#include <cstddef>
#include <vector>

#include "gauss_anchor.h"

namespace {

constexpr double INVERSE_SQRT_PI = 0.5641895835477563; // 1 / sqrt(pi)
constexpr double GRID_START = 0.0024787521766663585;   // e^-6: below it the integrand is flat
constexpr double GRID_RATIO = 1.1051709180756477;      // e^0.1, the grid's step in log u
constexpr int GRID_POINTS = 116;                       // log u from -6 to 5.5

// C(m, r) as the engine counts masks, 0 outside 0 <= r <= m.
double choose(const std::vector<std::vector<double>> &pascal, int m, int r)
{
    if (m < 0 || r < 0 || r > m) {
        return 0.0;
    }
    return pascal[static_cast<std::size_t>(m)][static_cast<std::size_t>(r)];
}

// Step 1: the model's n x n covariance of z and cross-covariance of z with w at q.
void model_covariances(int n, double k, int q, int last_q, const level_moments &levels,
                       std::vector<double> *zz, std::vector<double> *zw)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const std::size_t counts = static_cast<std::size_t>(last_q) + 1;
    const double c = 1.0 - k;
    const double a = (1.0 + k) / 2.0; // E[1 - c U]: how much of a deviation a step keeps
    const double g = c / 2.0 + k;
    const int steps = n - 1;
    std::vector<std::vector<double>> pascal(size);
    for (int m = 0; m < n; ++m) {
        pascal[static_cast<std::size_t>(m)] = pascal_row(m);
    }
    const double masks = choose(pascal, steps, q);
    const double mean_direction = static_cast<double>(steps - 2 * q) / static_cast<double>(steps);
    std::vector<double> v(size);
    std::vector<double> d(size);
    std::vector<double> next_zz(size); // E[z_t z_{t+1}]
    std::vector<double> next_zw(size); // E[z_{t+1} w_t]
    for (int t = 0; t < n; ++t) {
        double vt = 0.0;
        double dt = 0.0;
        double turn = 0.0; // sum of d over masks, weighted by E[e_{t+1}]'s completions
        const int most = t < q ? t : q;
        for (int j = 0; j <= most && j <= last_q; ++j) {
            const std::size_t place =
                static_cast<std::size_t>(t) * counts + static_cast<std::size_t>(j);
            const double ways = choose(pascal, steps - t, q - j);
            vt += levels.zz[place] * ways;
            dt += levels.zw[place] * ways;
            if (t < steps) {
                turn += levels.zw[place] * (choose(pascal, steps - t - 1, q - j) -
                                            choose(pascal, steps - t - 1, q - j - 1));
            }
        }
        const std::size_t ts = static_cast<std::size_t>(t);
        v[ts] = vt / masks;
        d[ts] = dt / masks;
        next_zz[ts] = a * v[ts] - g * (turn / masks);
        next_zw[ts] = a * d[ts] - (g / 12.0) * mean_direction;
    }
    zz->assign(size * size, 0.0);
    zw->assign(size * size, 0.0);
    for (std::size_t s = 0; s < size; ++s) {
        (*zz)[s * size + s] = v[s];
        (*zw)[s * size + s] = d[s];
        double lag = 1.0;
        for (std::size_t t = s + 1; t < size; ++t) {
            (*zz)[s * size + t] = lag * next_zz[s];
            (*zz)[t * size + s] = lag * next_zz[s];
            (*zw)[t * size + s] = lag * next_zw[s]; // E[z_t w_s]; 0 for s after t
            lag = lag * a;
        }
    }
}

// P M P for the centring P = I - 1 1' / n, in place: M's n x n entries, row-major.
void centre_matrix(int n, std::vector<double> *m)
{
    const std::size_t size = static_cast<std::size_t>(n);
    std::vector<double> rows(size, 0.0);
    std::vector<double> columns(size, 0.0);
    double total = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t j = 0; j < size; ++j) {
            rows[i] += (*m)[i * size + j];
            columns[j] += (*m)[i * size + j];
        }
    }
    for (std::size_t i = 0; i < size; ++i) {
        total += rows[i];
    }
    const double nn = static_cast<double>(n);
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t j = 0; j < size; ++j) {
            (*m)[i * size + j] =
                (*m)[i * size + j] - rows[i] / nn - columns[j] / nn + total / (nn * nn);
        }
    }
}

// Step 3: x_i = v_i^T (P S_zw P) v_i, v_i row i of vectors.
std::vector<double> projections(int n, const std::vector<double> &zw,
                                const std::vector<double> &vectors)
{
    const std::size_t size = static_cast<std::size_t>(n);
    std::vector<double> x(size, 0.0);
    std::vector<double> product(size);
    for (std::size_t i = 0; i < size; ++i) {
        const double *vi = &vectors[i * size];
        for (std::size_t r = 0; r < size; ++r) {
            double sum = 0.0;
            const double *m = &zw[r * size];
            for (std::size_t c = 0; c < size; ++c) {
                sum += m[c] * vi[c];
            }
            product[r] = sum;
        }
        double dot = 0.0;
        for (std::size_t r = 0; r < size; ++r) {
            dot += vi[r] * product[r];
        }
        x[i] = dot;
    }
    return x;
}

// Step 4: E_G[C Vz^(-1/2)] = 2 / (n sqrt(pi)) int_0^inf prod_i (1 + 2 u^2 l_i / n)^(-1/2)
//   * sum_i x_i / (1 + 2 u^2 l_i / n) du, with u = e^y on a uniform grid in y (trapezoid),
// and below the grid's start the integrand's value at 0, sum_i x_i.
double gaussian_value(int n, const std::vector<double> &x, const std::vector<double> &lambda,
                      double sum_x)
{
    const std::size_t size = static_cast<std::size_t>(n);
    const double nn = static_cast<double>(n);
    double integral = GRID_START * sum_x;
    double u = GRID_START;
    for (int point = 0; point < GRID_POINTS; ++point) {
        const double s = 2.0 * u * u / nn;
        double damping = 1.0;
        double weighted = 0.0;
        for (std::size_t i = 0; i < size; ++i) {
            const double factor = 1.0 + s * lambda[i];
            damping = damping / std::sqrt(factor);
            weighted += x[i] / factor;
        }
        const double trapezoid = point == 0 || point == GRID_POINTS - 1 ? 0.05 : 0.1;
        integral += trapezoid * (u * (damping * weighted));
        u = u * GRID_RATIO;
    }
    return 2.0 * INVERSE_SQRT_PI / nn * integral;
}

} // namespace

double gaussian_anchor_correction(int n, double k, int q, int last_q, const level_moments &levels)
{
    std::vector<double> zz;
    std::vector<double> zw;
    model_covariances(n, k, q, last_q, levels, &zz, &zw);
    centre_matrix(n, &zz);
    centre_matrix(n, &zw);
    std::vector<double> lambda;
    std::vector<double> vectors;
    symmetric_eigen(n, &zz, &lambda, &vectors);
    const std::vector<double> x = projections(n, zw, vectors);
    const std::size_t size = static_cast<std::size_t>(n);
    const double nn = static_cast<double>(n);
    double sum_x = 0.0;
    double sum_l = 0.0;
    double sum_ll = 0.0;
    double sum_xl = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        sum_x += x[i];
        sum_l += lambda[i];
        sum_ll += lambda[i] * lambda[i];
        sum_xl += x[i] * lambda[i];
    }
    const double exact = gaussian_value(n, x, lambda, sum_x);

    // Step 5: the same quantity's second-order expansion in the model, from its own moments.
    const double mean_c = sum_x / nn;
    const double mean_vz = sum_l / nn;
    const double var_vz = 2.0 * sum_ll / (nn * nn);
    const double cov_c_vz = 2.0 * sum_xl / (nn * nn);
    const double root = std::sqrt(mean_vz);
    const double expansion = mean_c / root - cov_c_vz / (2.0 * mean_vz * root) +
                             3.0 * mean_c * var_vz / (8.0 * mean_vz * mean_vz * root);
    const double root_vw = std::sqrt((1.0 - 1.0 / nn) / 12.0);
    return (exact - expansion) / root_vw;
}
