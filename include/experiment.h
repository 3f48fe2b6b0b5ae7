// Shared constants and array types of the agreement sweep experiment.
//
// Every parameter of the run is fixed here; there is no configuration.
#ifndef AGREEMENT_SWEEP_EXPERIMENT_H
#define AGREEMENT_SWEEP_EXPERIMENT_H

#include <cstdint>

constexpr int SIGNAL_LENGTH = 128;            // levels per signal, indexed 0 .. 127
constexpr int STEP_COUNT = SIGNAL_LENGTH - 1; // steps between neighbouring levels
constexpr int PASS_COUNT = 128;               // passes, numbered q = 0 .. 127
constexpr double LEVEL_MIN = 1.0;             // lowest level a signal is drawn at
constexpr double LEVEL_MAX = 10.0;            // highest level a signal is drawn at
constexpr int RANDOM_MAX = 32767;             // largest raw draw of the random source
constexpr double RANDOM_SCALE = RANDOM_MAX;   // the same, as the divisor that scales a draw
constexpr double Z_95 = 1.96;                 // two-sided 95 % normal quantile
constexpr double AMPLIFICATION = 5.0;         // factor on the coupled signal's deviations
constexpr double COUPLING_K = 0.0;            // ties step sizes to the reference's; off

// The agreement fraction of pass q: the share of steps whose direction the coupled signal
// follows. The difference is taken in integers, then converted.
inline double agreement_fraction(int q)
{
    return static_cast<double>(STEP_COUNT - q) / 127.0;
}

// A signal: 128 levels. Operations take it as a pointer to its first level.
typedef double signal_t[SIGNAL_LENGTH];

// A direction mask: one flag per reference step, 1 = same direction, 0 = opposite.
typedef std::int32_t mask_t[STEP_COUNT];

#endif
