// The curve of mean r against agreement at one k, as the summary describes it: where it
// crosses zero, and its least-squares line and how far it bends away.
#include <algorithm>
#include <cmath>
#include <limits>

#include "flow.h"

double zero_crossing(const pass_row *rows)
{
    for (int q = 0; q + 1 < PASS_COUNT; ++q) {
        const double here = rows[q].mean_r;
        const double next = rows[q + 1].mean_r;
        if (here == 0.0) {
            return rows[q].agreement;
        }
        if ((here > 0.0 && next <= 0.0) || (here < 0.0 && next >= 0.0)) {
            const double share = here / (here - next);
            return rows[q].agreement + share * (rows[q + 1].agreement - rows[q].agreement);
        }
    }
    return std::numeric_limits<double>::quiet_NaN();
}

int sign_changes(const pass_row *rows)
{
    int changes = 0;
    int last_sign = 0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        const double r = rows[q].mean_r;
        const int sign = r > 0.0 ? 1 : r < 0.0 ? -1 : 0;
        if (sign != 0) {
            changes += last_sign != 0 && sign != last_sign ? 1 : 0;
            last_sign = sign;
        }
    }
    return changes;
}

line_fit fit_line(const pass_row *rows)
{
    double mean_x = 0.0;
    double mean_y = 0.0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        mean_x += rows[q].agreement;
        mean_y += rows[q].mean_r;
    }
    mean_x /= PASS_COUNT;
    mean_y /= PASS_COUNT;
    double sxy = 0.0;
    double sxx = 0.0;
    double syy = 0.0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        sxy += (rows[q].agreement - mean_x) * (rows[q].mean_r - mean_y);
        sxx += (rows[q].agreement - mean_x) * (rows[q].agreement - mean_x);
        syy += (rows[q].mean_r - mean_y) * (rows[q].mean_r - mean_y);
    }
    line_fit fit = {};
    fit.slope = sxy / sxx;
    fit.intercept = mean_y - fit.slope * mean_x;
    fit.r_squared = sxy * sxy / (sxx * syy);
    for (int q = 0; q < PASS_COUNT; ++q) {
        const double distance =
            std::fabs(rows[q].mean_r - (fit.intercept + fit.slope * rows[q].agreement));
        fit.largest_distance = std::max(fit.largest_distance, distance);
    }
    return fit;
}
