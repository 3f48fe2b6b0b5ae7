// The rank statistic's steps that its two ways of working it out share. Internal to
// statistics: callers use rank_statistic and rank_statistic_counted.
#ifndef AGREEMENT_SWEEP_RANK_PARTS_H
#define AGREEMENT_SWEEP_RANK_PARTS_H

#include "stats.h"

// Sorts levels ascending by the exchange sort, carrying each level's time position along:
// adjacent pairs swap only when the left level is strictly greater, so equal levels keep
// their time order. 8128 comparisons.
void exchange_sort(double *levels, double *position);

// Returns the sum of squared differences between sorted place and time position, exact.
double squared_differences(const double *position);

#endif
