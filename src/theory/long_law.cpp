// The long-signal law: the stationary correlation of a coupled signal of unbounded length.
#include <cmath>

#include "theory.h"

double long_signal_law(double f, double k)
{
    const double agreeing = 2.0 * f - 1.0;
    const double mixed = 4.0 * f * (1.0 - f); // 0 when every step agrees or none does
    if (mixed == 0.0) {
        // The factor 1 - k cancels: (1 + k) sqrt((2 + k) / (2 (k^2 + 5))), which holds at
        // k = 1 too, where the general form is 0 / 0.
        return agreeing * (1.0 + k) * std::sqrt((2.0 + k) / (2.0 * (k * k + 5.0)));
    }
    const double tied = (1.0 - k) * (k * k + 5.0) + mixed * (1.0 + k) * (k * k + 4.0 * k + 1.0);
    // + 0.0: at k = 1 the law is 0 for every mixed agreement, never -0.
    return agreeing * (1.0 + k) * std::sqrt((1.0 - k) * (2.0 + k) / (2.0 * tied)) + 0.0;
}
