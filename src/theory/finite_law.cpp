// The finite-length law: the second-order expansion of E[C / sqrt(Vz Vw)] around the exact
// moments, anchored where the expansion falls short: in the kicked masks for the passes with
// at most three disagreeing steps, in the Gaussian model for the rest. Each anchor adds what
// its model gives for E[r] minus its model's own expansion, so that the exact moments' part
// stays.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "gauss_anchor.h"
#include "kicked_masks.h"
#include "moment_engine.h"
#include "theory.h"

namespace {

// The passes where the Gaussian anchor is taken: every pass from 4 to 8, then wider apart.
// Its correction is smooth in q, and cubics through the four nearest of these give it at the
// passes between within 3e-6 of taking it there (k = 0 .. 1), at a third of the cost.
constexpr int ANCHORS = 17;
constexpr int ANCHOR_PASS[ANCHORS] = {4,  5,  6,  7,  8,  10, 12, 14, 16,
                                      20, 24, 28, 32, 40, 48, 56, 63};

// The anchor's correction at pass q from its values at the anchor passes: the cubic through
// the two anchors on each side of q (three and one at the ends).
double anchor_between(const double *correction, int q)
{
    int right = 1;
    while (right < ANCHORS - 1 && ANCHOR_PASS[right] < q) {
        ++right;
    }
    const int first = std::min(std::max(right - 2, 0), ANCHORS - 4);
    double value = 0.0;
    for (int i = first; i < first + 4; ++i) {
        double basis = 1.0;
        for (int j = first; j < first + 4; ++j) {
            if (j != i) {
                basis = basis * (static_cast<double>(q - ANCHOR_PASS[j]) /
                                 static_cast<double>(ANCHOR_PASS[i] - ANCHOR_PASS[j]));
            }
        }
        value += basis * correction[i];
    }
    return value;
}

// Each coupling's law as this process first computed it: the law is a pure function of k, and
// a process asks again (the module called once more, a merge after a run, the tests). At most
// MEMO_COUPLINGS of them, 1 KB each; beyond that the law is computed afresh.
constexpr std::size_t MEMO_COUPLINGS = 1024;
struct law_memo {
    std::mutex lock;
    std::map<std::uint64_t, std::array<double, PASS_COUNT>> laws; // by the bits of k
};

law_memo &memo()
{
    static law_memo laws;
    return laws;
}

std::uint64_t bits_of(double k)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &k, sizeof bits);
    return bits;
}

// Step by step: the exact moments, the expansion, and what it misses.
void compute_law(double k, double *r)
{
    constexpr int LAST_Q = PASS_COUNT / 2 - 1; // 63: the rest by the mirror
    constexpr int KICKED_PASSES = 3;           // q = 0 .. 3 by the kicked masks
    std::vector<signal_moments> moments;
    level_moments levels;
    run_moment_engine(SIGNAL_LENGTH, k, LAST_Q, &moments, &levels);
    double correction[ANCHORS];
    for (int i = 0; i < ANCHORS; ++i) {
        correction[i] =
            gaussian_anchor_correction(SIGNAL_LENGTH, k, ANCHOR_PASS[i], LAST_Q, levels);
    }
    for (int q = 0; q <= LAST_Q; ++q) {
        const double expansion = second_order_r(moments[static_cast<std::size_t>(q)]);
        double value = 0.0;
        if (q <= KICKED_PASSES) {
            // A few disagreeing steps: each mask on its own, Gaussian given its kicks.
            const kicked_result kicked = kicked_masks(SIGNAL_LENGTH, k, q);
            value = expansion + (kicked.value - kicked.expansion);
        } else {
            value = expansion + anchor_between(correction, q);
        }
        if (k == 1.0 && q == 0) {
            value = 1.0; // the coupled signal is the reference, shifted
        }
        r[q] = value + 0.0;
        r[STEP_COUNT - q] = -value + 0.0; // flipping every step's agreement flips r
    }
}

} // namespace

void finite_length_law(double k, double *r)
{
    law_memo &known = memo();
    {
        const std::lock_guard<std::mutex> held(known.lock);
        const auto found = known.laws.find(bits_of(k));
        if (found != known.laws.end()) {
            std::memcpy(r, found->second.data(), sizeof(double) * PASS_COUNT);
            return;
        }
    }
    compute_law(k, r);
    const std::lock_guard<std::mutex> held(known.lock);
    if (known.laws.size() < MEMO_COUPLINGS) {
        std::array<double, PASS_COUNT> law;
        std::memcpy(law.data(), r, sizeof(double) * PASS_COUNT);
        known.laws.emplace(bits_of(k), law);
    }
}
