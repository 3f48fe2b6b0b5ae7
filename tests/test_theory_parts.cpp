// The finite-length law's parts against brute force or exact identities: the moment engine
// and its per-level sums, the anchor's eigen-decomposition, and the kicked-mask tier (single
// masks, the moments given the kicks, the reduced rule over the masks).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "experiment.h"
#include "gauss_anchor.h"
#include "kicked_masks_probe.h"
#include "kicked_parts.h"
#include "moment_engine.h"

namespace {

// One signal of the model in the law's units: reference levels w uniform on [-1/2, 1/2], the
// coupled signal z from its own uniform start, each step t moving by the rule with e = -1 where
// disagree[t] is set. Returns r, and the covariance and the coupled variance through cov, vz.
double simulate_signal(std::mt19937_64 *random, double k, const std::vector<bool> &disagree,
                       double *cov, double *vz)
{
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const std::size_t n = disagree.size();
    std::vector<double> w(n);
    std::vector<double> z(n);
    std::generate(w.begin(), w.end(), [&] { return uniform(*random) - 0.5; });
    z[0] = uniform(*random) - 0.5;
    const double c = 1.0 - k;
    for (std::size_t t = 1; t < n; ++t) {
        const double e = disagree[t] ? -1.0 : 1.0;
        const double u = uniform(*random);
        const double up = e * (w[t] - w[t - 1]) > 0.0 ? 1.0 : 0.0;
        z[t] = (1.0 - c * u) * z[t - 1] + c * u * (up - 0.5) + k * e * (w[t] - w[t - 1]);
    }
    double mz = 0.0;
    double mw = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        mz += z[t] / static_cast<double>(n);
        mw += w[t] / static_cast<double>(n);
    }
    double c_zw = 0.0;
    double v_z = 0.0;
    double v_w = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        c_zw += (z[t] - mz) * (w[t] - mw) / static_cast<double>(n);
        v_z += (z[t] - mz) * (z[t] - mz) / static_cast<double>(n);
        v_w += (w[t] - mw) * (w[t] - mw) / static_cast<double>(n);
    }
    *cov = c_zw;
    *vz = v_z;
    return c_zw / std::sqrt(v_z * v_w);
}

} // namespace

// ---- The moment engine ----

// The engine against a direct simulation of the model for signals of 3 to 6 levels: every mask
// of their steps, 30,000 signals each, averaged over the masks of each q. The engine is exact,
// so each moment must lie within 5 standard errors of the simulation's.
TEST(FiniteLengthLaw, EngineMatchesASimulationOfEveryMask)
{
    constexpr int samples = 30000;
    std::mt19937_64 random(34);
    for (const int n : {3, 4, 5, 6}) {
        for (const double k : {0.0, 0.6, 1.0}) {
            std::vector<signal_moments> engine;
            run_moment_engine(n, k, n - 1, &engine, nullptr);
            for (int q = 0; q < n; ++q) {
                // Per moment: sum and sum of squares over every sample of every mask with q.
                double sum[5] = {};
                double square[5] = {};
                double count = 0.0;
                for (int mask = 0; mask < (1 << (n - 1)); ++mask) {
                    if (__builtin_popcount(static_cast<unsigned>(mask)) != q) {
                        continue;
                    }
                    std::vector<bool> disagree(static_cast<std::size_t>(n), false);
                    for (int t = 1; t < n; ++t) {
                        disagree[static_cast<std::size_t>(t)] = (mask >> (t - 1) & 1) != 0;
                    }
                    for (int s = 0; s < samples; ++s) {
                        double cov = 0.0;
                        double vz = 0.0;
                        simulate_signal(&random, k, disagree, &cov, &vz);
                        const double value[5] = {cov, vz, cov * cov, cov * vz, vz * vz};
                        for (int i = 0; i < 5; ++i) {
                            sum[i] += value[i];
                            square[i] += value[i] * value[i];
                        }
                        count += 1.0;
                    }
                }
                const signal_moments &m = engine[static_cast<std::size_t>(q)];
                const double exact[5] = {m.mean_c, m.mean_vz, m.c_c, m.c_vz, m.vz_vz};
                for (int i = 0; i < 5; ++i) {
                    const double mean = sum[i] / count;
                    const double se = std::sqrt((square[i] / count - mean * mean) / count);
                    EXPECT_NEAR(exact[i], mean, 5.0 * se + 1e-12)
                        << "n " << n << ", k " << k << ", q " << q << ", moment " << i;
                }
                // The reference's own variance has a closed form: (1 - 1/n) / 12.
                EXPECT_NEAR(m.mean_vw, (1.0 - 1.0 / n) / 12.0, 1e-15);
            }
        }
    }
}

// The engine's per-level sums, which the Gaussian anchor builds its covariances from, against
// each mask's own second moments by their one-step recursion: summed over every mask of the
// first t steps with j of them disagreeing, E[z_t^2] and E[z_t w_t] agree to rounding.
TEST(FiniteLengthLaw, LevelSumsMatchEachMasksMoments)
{
    constexpr int n = 6;
    constexpr std::size_t size = n;
    for (const double k : {0.0, 0.4, 1.0}) {
        std::vector<signal_moments> moments;
        level_moments levels;
        run_moment_engine(n, k, n - 1, &moments, &levels);
        std::vector<double> zz(size * size, 0.0); // [t * n + j]
        std::vector<double> zw(size * size, 0.0);
        for (std::size_t t = 0; t < size; ++t) {
            // The masks of the first t steps, the later steps agreeing.
            for (unsigned mask = 0; mask < (1U << t); ++mask) {
                std::vector<double> e(size, 1.0);
                for (std::size_t s = 1; s <= t; ++s) {
                    e[s] = (mask >> (s - 1) & 1U) != 0 ? -1.0 : 1.0;
                }
                mask_model model;
                mask_covariances(n, k, e, &model);
                const auto j = static_cast<std::size_t>(__builtin_popcount(mask));
                zz[t * size + j] += model.zz[t * size + t];
                zw[t * size + j] += model.zw[t * size + t];
            }
        }
        for (std::size_t i = 0; i < zz.size(); ++i) {
            EXPECT_NEAR(levels.zz[i], zz[i], 1e-13 * (1.0 + zz[i]))
                << "k " << k << ", t " << i / n << ", j " << i % n;
            EXPECT_NEAR(levels.zw[i], zw[i], 1e-13 * (1.0 + std::fabs(zw[i])))
                << "k " << k << ", t " << i / n << ", j " << i % n;
        }
    }
}

// ---- The anchor's eigen-decomposition ----

// The eigen-decomposition the anchor takes, on random symmetric matrices (one with a repeated
// eigenvalue, a multiple of the identity plus a rank-one term): A v = l v for every pair, and
// the vectors orthonormal.
TEST(FiniteLengthLaw, SymmetricEigenDecomposes)
{
    std::mt19937_64 random(12);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (const int n : {2, 7, 40}) {
        for (const bool repeated : {false, true}) {
            const std::size_t size = static_cast<std::size_t>(n);
            std::vector<double> a(size * size);
            std::vector<double> u(size);
            std::generate(u.begin(), u.end(), [&] { return uniform(random); });
            for (std::size_t i = 0; i < size; ++i) {
                for (std::size_t j = 0; j <= i; ++j) {
                    a[i * size + j] =
                        repeated ? u[i] * u[j] + (i == j ? 2.0 : 0.0) : uniform(random);
                    a[j * size + i] = a[i * size + j];
                }
            }
            std::vector<double> matrix = a;
            std::vector<double> values;
            std::vector<double> vectors;
            symmetric_eigen(n, &matrix, &values, &vectors);
            for (std::size_t i = 0; i < size; ++i) {
                for (std::size_t r = 0; r < size; ++r) {
                    double av = 0.0;
                    double dot = 0.0;
                    for (std::size_t c = 0; c < size; ++c) {
                        av += a[r * size + c] * vectors[i * size + c];
                        dot += vectors[i * size + c] * vectors[r * size + c];
                    }
                    EXPECT_NEAR(av, values[i] * vectors[i * size + r], 1e-12) << n << " " << i;
                    EXPECT_NEAR(dot, i == r ? 1.0 : 0.0, 1e-12) << n << " " << i << " " << r;
                }
            }
        }
    }
}

// ---- The kicked-mask tier ----

// The kicked model of single masks against a direct simulation of the model for the same
// mask: lone kicks and kicks that share a level (adjacent steps), whose laws differ. The model
// is an approximation (Gaussian given the kicks), good to about 0.002 for one mask.
TEST(FiniteLengthLaw, KickedMasksMatchASimulationOfEachMask)
{
    const std::vector<std::vector<int>> masks = {{60}, {60, 61}, {60, 62}, {3, 4, 5}, {1, 64, 127}};
    std::mt19937_64 random(340);
    for (const double k : {0.9, 1.0}) {
        for (const std::vector<int> &mask : masks) {
            std::vector<bool> disagree(SIGNAL_LENGTH, false);
            for (const int s : mask) {
                disagree[static_cast<std::size_t>(s)] = true;
            }
            constexpr int samples = 16000;
            double sum = 0.0;
            double square = 0.0;
            for (int i = 0; i < samples; ++i) {
                double cov = 0.0;
                double vz = 0.0;
                const double r = simulate_signal(&random, k, disagree, &cov, &vz);
                sum += r;
                square += r * r;
            }
            const double mean = sum / samples;
            const double se = std::sqrt((square / samples - mean * mean) / samples);
            EXPECT_NEAR(kicked_mask_value(SIGNAL_LENGTH, k, mask), mean, 0.002 + 4.0 * se)
                << "k " << k << ", first step " << mask[0] << " of " << mask.size();
        }
    }
}

// The moments given the kicks against the same model unconditioned, by the laws of total
// expectation and covariance for Gaussian x of covariance S: E[C] = E[E[C | x]] and
// cov(C, Vz) = E[cov(C, Vz | x)] + 2 tr(F_C S F_Vz S), F the quadratic forms in x. Exact for
// the Gaussian model, so the two sides agree to rounding.
TEST(FiniteLengthLaw, KickedMomentsAverageToTheUnconditionedOnes)
{
    constexpr int n = 40;
    constexpr int pairs[5][2] = {{0, 1}, {0, 2}, {1, 1}, {2, 2}, {1, 2}}; // moments 3 .. 7
    for (const std::vector<int> &mask :
         std::vector<std::vector<int>>{{}, {20}, {1, 2}, {5, 30, 31}}) {
        std::vector<double> e(n, 1.0);
        for (const int s : mask) {
            e[static_cast<std::size_t>(s)] = -1.0;
        }
        mask_model model;
        mask_covariances(n, 0.8, e, &model);
        mask_model plain = model;
        conditioning on;
        conditioning_of(n, mask, model, &on);
        given_moments given;
        moments_given(n, &model, on, &given);
        conditioning nothing = on;
        nothing.given = 0;
        given_moments unconditioned;
        moments_given(n, &plain, nothing, &unconditioned);
        // The forms unpacked: F[m][i][j], the off-diagonal terms halved again.
        double f[MOMENTS][MOST_KICKS][MOST_KICKS] = {};
        for (int m = 0; m < MOMENTS; ++m) {
            int pair = 0;
            for (int i = 0; i < on.given; ++i) {
                for (int j = i; j < on.given; ++j) {
                    f[m][i][j] = given.form[m][pair] / (i == j ? 1.0 : 2.0);
                    f[m][j][i] = f[m][i][j];
                    ++pair;
                }
            }
        }
        for (int m = 0; m < MOMENTS; ++m) {
            double total = given.base[m];
            for (int i = 0; i < on.given; ++i) {
                for (int j = 0; j < on.given; ++j) {
                    total += f[m][i][j] * on.among[j][i];
                    for (int a = 0; m >= 3 && a < on.given; ++a) {
                        for (int b = 0; b < on.given; ++b) { // 2 tr(F S G S)
                            total += 2.0 * f[pairs[m - 3][0]][i][j] * on.among[j][a] *
                                     f[pairs[m - 3][1]][a][b] * on.among[b][i];
                        }
                    }
                }
            }
            EXPECT_NEAR(total, unconditioned.base[m], 1e-12 * std::fabs(unconditioned.base[m]))
                << "moment " << m << ", " << mask.size() << " kicks";
        }
    }
}

// The nodes of the kicks' law against its moments from first principles: a kick, the
// difference of two uniform levels, is triangular on [-1, 1] (variance 1/6, fourth moment
// 1/15); adjacent kicks share a level (covariance -1/12); with no kick the start levels are
// independent and uniform on [-1/2, 1/2] (variance 1/12, fourth moment 1/80).
TEST(FiniteLengthLaw, KickNodesHoldTheKicksLaw)
{
    const std::vector<std::vector<int>> masks = {{}, {5}, {5, 6}, {5, 9}, {5, 6, 7}, {5, 6, 9}};
    for (const std::vector<int> &mask : masks) {
        std::vector<double> values;
        std::vector<double> weights;
        kick_nodes(mask, &values, &weights);
        const std::size_t given = mask.empty() ? 2 : mask.size();
        double total = 0.0;
        double second[MOST_KICKS][MOST_KICKS] = {};
        double fourth[MOST_KICKS] = {};
        for (std::size_t node = 0; node < weights.size(); ++node) {
            const double *x = &values[node * MOST_KICKS];
            total += weights[node];
            for (std::size_t i = 0; i < given; ++i) {
                fourth[i] += weights[node] * x[i] * x[i] * x[i] * x[i];
                for (std::size_t j = 0; j < given; ++j) {
                    second[i][j] += weights[node] * x[i] * x[j];
                }
            }
        }
        EXPECT_NEAR(total, 1.0, 1e-14) << mask.size() << " kicks";
        for (std::size_t i = 0; i < given; ++i) {
            EXPECT_NEAR(fourth[i], mask.empty() ? 1.0 / 80.0 : 1.0 / 15.0, 1e-14) << i;
            for (std::size_t j = 0; j < given; ++j) {
                double expected = i == j ? (mask.empty() ? 1.0 / 12.0 : 1.0 / 6.0) : 0.0;
                if (!mask.empty() && (mask[i] == mask[j] + 1 || mask[j] == mask[i] + 1)) {
                    expected = -1.0 / 12.0;
                }
                EXPECT_NEAR(second[i][j], expected, 1e-14) << mask.size() << " kicks, " << i << j;
            }
        }
    }
}

// The reduced rule over the masks with two and three disagreeing steps: it stands for every
// mask once, and sums exactly any function of the steps that is quadratic on its panels, as a
// direct sum over all 8,001 pairs and 333,375 triples shows.
TEST(FiniteLengthLaw, MaskRuleSumsQuadraticsExactly)
{
    for (const int q : {1, 2, 3}) {
        double exact[4] = {};
        double ruled[4] = {};
        const auto add = [q](const std::vector<int> &p, double weight, double *sums) {
            const double first = p[0];
            const double last = p[static_cast<std::size_t>(q) - 1];
            const double terms[4] = {1.0, first, last, first * last};
            for (int i = 0; i < 4; ++i) {
                sums[i] += weight * terms[i];
            }
        };
        std::vector<int> p(static_cast<std::size_t>(q));
        for (int s = 1; s <= STEP_COUNT; ++s) {
            for (int t = q > 1 ? s + 1 : s; t <= (q > 1 ? STEP_COUNT : s); ++t) {
                for (int u = q > 2 ? t + 1 : t; u <= (q > 2 ? STEP_COUNT : t); ++u) {
                    p[0] = s;
                    if (q > 1) {
                        p[1] = t;
                    }
                    if (q > 2) {
                        p[2] = u;
                    }
                    add(p, 1.0, exact);
                }
            }
        }
        for (const auto &mask : kicked_mask_rule(STEP_COUNT, q)) {
            ASSERT_EQ(mask.first.size(), static_cast<std::size_t>(q));
            for (std::size_t i = 1; i < mask.first.size(); ++i) {
                ASSERT_GT(mask.first[i], mask.first[i - 1]);
            }
            add(mask.first, mask.second, ruled);
        }
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(ruled[i] / exact[i], 1.0, 1e-12) << "q " << q << ", sum " << i;
        }
    }
}
