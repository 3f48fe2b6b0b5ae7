// Eigenvalues and eigenvectors of a real symmetric matrix: Householder reduction to
// tridiagonal form, then the implicit QL method with Wilkinson-like shifts. Only the four
// basic operations and square roots, in a fixed order, so every toolchain gets the same bits.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

#include "gauss_anchor.h"

namespace {

double magnitude(double a, double b)
{
    return std::sqrt(a * a + b * b);
}

// The reflection H = I - beta v v^T on the trailing block B of m from row and column first:
// B becomes H B H = B - v w^T - w v^T, w = p - (beta/2)(v.p) v, p = beta B v.
void reflect_block(std::size_t size, std::size_t first, double beta, const std::vector<double> &v,
                   std::vector<double> *scratch, std::vector<double> *matrix)
{
    std::vector<double> &m = *matrix;
    std::vector<double> &p = *scratch;
    const std::size_t length = size - first;
    double vp = 0.0;
    for (std::size_t i = 0; i < length; ++i) {
        double sum = 0.0;
        const double *b = &m[(first + i) * size + first];
        for (std::size_t j = 0; j < length; ++j) {
            sum += b[j] * v[j];
        }
        p[i] = beta * sum;
        vp += v[i] * p[i];
    }
    const double half = (beta / 2.0) * vp;
    for (std::size_t i = 0; i < length; ++i) {
        p[i] -= half * v[i];
    }
    for (std::size_t i = 0; i < length; ++i) {
        double *b = &m[(first + i) * size + first];
        for (std::size_t j = 0; j < length; ++j) {
            b[j] -= v[i] * p[j] + p[i] * v[j];
        }
    }
}

// The same reflection on the basis: Q H, held as rows, so it mixes rows first .. n - 1.
void reflect_basis(std::size_t size, std::size_t first, double beta, const std::vector<double> &v,
                   std::vector<double> *scratch, std::vector<double> *basis)
{
    std::vector<double> &q = *basis;
    std::vector<double> &row = *scratch;
    const std::size_t length = size - first;
    std::fill(row.begin(), row.end(), 0.0);
    for (std::size_t i = 0; i < length; ++i) {
        const double *qi = &q[(first + i) * size];
        for (std::size_t c = 0; c < size; ++c) {
            row[c] += v[i] * qi[c];
        }
    }
    for (std::size_t i = 0; i < length; ++i) {
        double *qi = &q[(first + i) * size];
        const double scale = beta * v[i];
        for (std::size_t c = 0; c < size; ++c) {
            qi[c] -= scale * row[c];
        }
    }
}

// Step 1: a = Q T Q^T. On return rows[i] of basis hold Q's columns as rows, diagonal and
// off_diagonal hold T (off_diagonal[i] couples i and i + 1).
void reduce_to_tridiagonal(int n, std::vector<double> *a, std::vector<double> *basis,
                           std::vector<double> *diagonal, std::vector<double> *off_diagonal)
{
    const std::size_t size = static_cast<std::size_t>(n);
    std::vector<double> &m = *a;
    std::vector<double> &q = *basis;
    q.assign(size * size, 0.0);
    for (std::size_t i = 0; i < size; ++i) {
        q[i * size + i] = 1.0;
    }
    std::vector<double> v(size);
    std::vector<double> p(size);
    std::vector<double> row(size);
    for (std::size_t k = 0; k + 2 < size; ++k) {
        const std::size_t first = k + 1;
        const std::size_t length = size - first;
        double sigma = 0.0;
        for (std::size_t i = 0; i < length; ++i) {
            v[i] = m[(first + i) * size + k];
            sigma += v[i] * v[i];
        }
        if (sigma == 0.0) {
            continue;
        }
        const double alpha = v[0] >= 0.0 ? -std::sqrt(sigma) : std::sqrt(sigma);
        v[0] -= alpha;
        double vv = 0.0;
        for (std::size_t i = 0; i < length; ++i) {
            vv += v[i] * v[i];
        }
        if (vv == 0.0) {
            continue;
        }
        const double beta = 2.0 / vv;
        reflect_block(size, first, beta, v, &p, &m);
        m[first * size + k] = alpha;
        m[k * size + first] = alpha;
        for (std::size_t i = 1; i < length; ++i) {
            m[(first + i) * size + k] = 0.0;
            m[k * size + first + i] = 0.0;
        }
        reflect_basis(size, first, beta, v, &row, &q);
    }
    diagonal->assign(size, 0.0);
    off_diagonal->assign(size, 0.0);
    for (std::size_t i = 0; i < size; ++i) {
        (*diagonal)[i] = m[i * size + i];
        if (i + 1 < size) {
            (*off_diagonal)[i] = m[(i + 1) * size + i];
        }
    }
}

// The first m >= l where T splits (e[m] negligible beside its neighbours), or n - 1.
std::size_t split_point(std::size_t size, std::size_t l, const std::vector<double> &d,
                        const std::vector<double> &e)
{
    std::size_t m = l;
    for (; m + 1 < size; ++m) {
        const double scale = std::fabs(d[m]) + std::fabs(d[m + 1]);
        if (std::fabs(e[m]) <= std::numeric_limits<double>::epsilon() * scale) {
            break;
        }
    }
    return m;
}

// A rotation by (c, s) of basis rows zi and zn, each of size values.
void rotate_rows(double *zi, double *zn, std::size_t size, double s, double c)
{
    for (std::size_t k = 0; k < size; ++k) {
        const double t = zn[k];
        zn[k] = s * zi[k] + c * t;
        zi[k] = c * zi[k] - s * t;
    }
}

// Step 2: the implicit QL method on T, each rotation applied to the basis rows too.
void diagonalise_tridiagonal(int n, std::vector<double> *diagonal,
                             std::vector<double> *off_diagonal, std::vector<double> *basis)
{
    std::vector<double> &d = *diagonal;
    std::vector<double> &e = *off_diagonal;
    std::vector<double> &z = *basis;
    const std::size_t size = static_cast<std::size_t>(n);
    e[size - 1] = 0.0;
    for (std::size_t l = 0; l < size; ++l) {
        int iterations = 0;
        for (;;) {
            const std::size_t m = split_point(size, l, d, e);
            if (m == l) {
                break;
            }
            if (++iterations > 60) {
                throw std::runtime_error("the eigenvalue iteration did not converge");
            }
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = magnitude(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? r : -r));
            double s = 1.0;
            double c = 1.0;
            double p = 0.0;
            bool underflow = false;
            for (std::size_t i = m; i-- > l;) {
                const double f = s * e[i];
                const double b = c * e[i];
                r = magnitude(f, g);
                e[i + 1] = r;
                if (r == 0.0) {
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    underflow = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2.0 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
                rotate_rows(&z[i * size], &z[(i + 1) * size], size, s, c);
            }
            if (underflow) {
                continue;
            }
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        }
    }
}

} // namespace

void symmetric_eigen(int n, std::vector<double> *matrix, std::vector<double> *values,
                     std::vector<double> *vectors)
{
    std::vector<double> off_diagonal;
    reduce_to_tridiagonal(n, matrix, vectors, values, &off_diagonal);
    diagonalise_tridiagonal(n, values, &off_diagonal, vectors);
}
