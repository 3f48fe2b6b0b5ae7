// One pass's measures, the arithmetic both programs and the tests share: the coupled
// signal's mean, its amplification (synthesis) and then its variance, correlation and rank
// statistic (statistics), in the record's order. It sits above both, so that neither of them
// calls the other.
#ifndef AGREEMENT_SWEEP_MEASURES_H
#define AGREEMENT_SWEEP_MEASURES_H

#include "stats.h"

// What a pass reports about its coupled signal.
struct pass_measures {
    double mean;       // the coupled signal's mean, before amplification
    double variance;   // the amplified signal's variance about that same mean
    double r;          // Pearson correlation of the amplified signal with the reference
    rank_result ranks; // rank statistic of the amplified signal; zero when not asked for
};

// A rank statistic: rank_statistic (the run's, with its private sort copy) or
// rank_statistic_counted (no state, for threads).
typedef rank_result (*rank_method)(const double *signal);

// Measures a pass, in the record's order: the coupled mean, then the amplification about it
// (synthesis's amplify_deviations, in place, so coupled holds the amplified levels
// afterwards), the variance about the mean taken before, the correlation with the reference
// from the reference's mean mx and variance vx, and, when rank isn't null, the rank statistic
// of the amplified levels.
pass_measures measure_pass(const double *reference, double mx, double vx, double *coupled,
                           rank_method rank);

#endif
