// Mean, variance about a given mean, Pearson correlation, and the turning-point test.
#include <cmath>

#include "stats.h"

namespace {

// The correctly rounded square. A C library's pow(x, 2.0) is only required to be close,
// and runtimes differ in its last bit; x * x is the exact square rounded once, everywhere.
double square(double x)
{
    return x * x;
}

} // namespace

double signal_mean(const double *a)
{
    double s = 0.0;
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        s = s + a[i];
    }
    return s / 128.0;
}

double signal_variance(const double *a, double m)
{
    double s = 0.0;
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        s = square(a[i] - m) + s;
    }
    return s / 128.0;
}

double signal_correlation(const double *a, const double *b, double ma, double mb, double va,
                          double vb)
{
    double s = 0.0;
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        s = s + (a[i] - ma) * (b[i] - mb);
    }
    return s / (std::sqrt(vb) * correlation_scale(va));
}

int turning_points(const double *signal)
{
    int count = 0;
    // Every comparison made, and no branch on their outcomes, which are random.
    for (int i = 1; i < SIGNAL_LENGTH - 1; ++i) {
        const bool peak = (signal[i] > signal[i - 1]) & (signal[i] > signal[i + 1]);
        const bool trough = (signal[i] < signal[i - 1]) & (signal[i] < signal[i + 1]);
        count += static_cast<int>(peak | trough);
    }
    return count;
}

int turning_point_bound()
{
    return static_cast<int>(84.0 - Z_95 * std::sqrt(22.433333333333334));
}
