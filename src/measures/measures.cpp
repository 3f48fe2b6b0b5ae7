// One pass's measures, shared by the one-shot run, the ensemble and the tests, so that the
// pass's arithmetic is written once.
#include "measures.h"
#include "synth.h"

pass_measures measure_pass(const double *reference, double mx, double vx, double *coupled,
                           rank_method rank)
{
    pass_measures measures = {};
    measures.mean = signal_mean(coupled);
    amplify_deviations(coupled, measures.mean);
    measures.variance = signal_variance(coupled, measures.mean);
    measures.r = signal_correlation(reference, coupled, mx, measures.mean, vx, measures.variance);
    if (rank != nullptr) {
        measures.ranks = rank(coupled);
    }
    return measures;
}
