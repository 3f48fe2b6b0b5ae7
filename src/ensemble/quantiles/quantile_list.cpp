// Which quantiles a study reports: read from text or numbers, and named in the table.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "quantiles.h"

namespace {

// Reads "D[.DDDDDD]" with at most six decimals as parts per million, without a rounding step
// between the text and the place it names. Returns false for anything else.
bool read_per_million(const std::string &text, std::uint32_t *per_million)
{
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string decimals = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    const auto digits = [](const std::string &part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 7 || !digits(whole) || !digits(decimals) ||
        decimals.size() > 6 || (dot != std::string::npos && decimals.empty())) {
        return false;
    }
    std::uint64_t value = std::stoull(whole) * WHOLE;
    std::uint64_t scale = WHOLE / 10;
    for (char c : decimals) {
        value += static_cast<std::uint64_t>(c - '0') * scale;
        scale /= 10;
    }
    if (value > WHOLE) {
        return false;
    }
    *per_million = static_cast<std::uint32_t>(value);
    return true;
}

std::string settle(std::vector<std::uint32_t> values, const char *name, quantile_list *list)
{
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    if (values.empty()) {
        return std::string(name) + " needs at least one probability";
    }
    if (values.size() > static_cast<std::size_t>(MOST_QUANTILES)) {
        return std::string(name) + " gives more than " + std::to_string(MOST_QUANTILES) +
               " different probabilities";
    }
    quantile_list settled;
    settled.count = static_cast<int>(values.size());
    std::copy(values.begin(), values.end(), settled.per_million);
    *list = settled;
    return std::string();
}

} // namespace

std::string read_quantile_list(const std::string &text, const char *name, quantile_list *list)
{
    std::vector<std::uint32_t> values;
    std::size_t first = 0;
    for (;;) {
        const std::size_t comma = text.find(',', first);
        const std::string item =
            text.substr(first, comma == std::string::npos ? std::string::npos : comma - first);
        std::uint32_t per_million = 0;
        if (!read_per_million(item, &per_million)) {
            return std::string(name) + " item '" + item +
                   "' is not a probability from 0 to 1 with at most six decimals";
        }
        values.push_back(per_million);
        if (comma == std::string::npos) {
            break;
        }
        first = comma + 1;
    }
    return settle(values, name, list);
}

std::string settle_quantile_list(const std::vector<double> &given, const char *name,
                                 quantile_list *list)
{
    std::vector<std::uint32_t> values;
    for (double given_p : given) {
        const double p = given_p + 0.0; // -0 is 0
        char shortest[64];
        const std::string as_given(
            shortest, std::to_chars(shortest, shortest + sizeof shortest, given_p).ptr);
        if (!(p >= 0.0 && p <= 1.0)) {
            return std::string(name) + " value " + as_given + " lies outside [0, 1]";
        }
        // The nearest whole part per million, which must be the value itself but for the last
        // bits of a double (0.1 + 0.2 is 0.3): more decimals are refused, as the command line
        // refuses them.
        const double scaled = p * static_cast<double>(WHOLE);
        const std::uint32_t per_million = static_cast<std::uint32_t>(std::lround(scaled));
        if (std::fabs(scaled - static_cast<double>(per_million)) > 1e-6) {
            return std::string(name) + " value " + as_given + " has more than six decimals";
        }
        values.push_back(per_million);
    }
    return settle(values, name, list);
}

std::string quantile_column(std::uint32_t per_million)
{
    // In per mille: three digits at least, then the decimals that aren't zero.
    const std::uint32_t whole = per_million / 1000U;
    std::uint32_t rest = per_million % 1000U;
    std::string name = std::to_string(whole);
    name.insert(0, name.size() < 3 ? 3 - name.size() : 0, '0');
    if (rest != 0) {
        std::string decimals = std::to_string(rest);
        decimals.insert(0, 3 - decimals.size(), '0');
        decimals.erase(decimals.find_last_not_of('0') + 1);
        name += "." + decimals;
    }
    return "r_q" + name;
}
