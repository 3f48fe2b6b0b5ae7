// The ensemble's command line: seeds, threads, files and the coupling coefficients.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "flow.h"
#include "output.h"

namespace {

// Grid points one range may give before repeats merge: every six-decimal value in [0, 1].
constexpr std::uint64_t MOST_RANGE_POINTS = 1000001;

// The double nearest value's six-decimal text, which is how the table and the summary name
// it: so the k a row names is the k that ran, and values printed alike run once. -0 is 0.
double as_printed(double value)
{
    char text[64];
    const char *const end = format_fixed(text, text + sizeof text, value);
    double printed = value;
    if (end != nullptr) {
        static_cast<void>(std::from_chars(text, end, printed, std::chars_format::fixed));
    }
    return printed + 0.0; // + 0.0 turns -0 into 0
}

// Reads a whole decimal number from lowest to highest. Returns false for anything else:
// signs, blanks, other characters, or a value out of range.
bool read_count(const char *text, std::uint64_t lowest, std::uint64_t highest, std::uint64_t *value)
{
    const char *const end = text + std::strlen(text);
    if (text == end || *text < '0' || *text > '9') {
        return false;
    }
    const std::from_chars_result result = std::from_chars(text, end, *value);
    return result.ec == std::errc() && result.ptr == end && *value >= lowest && *value <= highest;
}

// Reads a whole finite decimal number, as written ("0.25", "1e-1", "-0"). Returns false for
// anything else: an empty text, other characters, nan or inf.
bool read_real(const std::string &text, double *value)
{
    const char *const first = text.data();
    const char *const end = first + text.size();
    const std::from_chars_result result =
        std::from_chars(first, end, *value, std::chars_format::general);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && std::isfinite(*value);
}

// Reads one item of a --coupling list and appends its values. Returns an empty string, or
// the problem.
std::string read_coupling_item(const std::string &item, std::vector<double> *couplings)
{
    const std::string quoted = "'" + item + "'";
    if (item.empty()) {
        return "--coupling has an empty item";
    }
    const std::size_t first_colon = item.find(':');
    if (first_colon == std::string::npos) {
        double k = 0.0;
        if (!read_real(item, &k)) {
            return "--coupling item " + quoted + " is not a number";
        }
        if (k < 0.0 || k > 1.0) {
            return "--coupling value " + quoted + " lies outside [0, 1]";
        }
        couplings->push_back(as_printed(k));
        return std::string();
    }
    const std::size_t second_colon = item.find(':', first_colon + 1);
    if (second_colon == std::string::npos ||
        item.find(':', second_colon + 1) != std::string::npos) {
        return "--coupling range " + quoted + " is not START:STOP:STEP";
    }
    double start = 0.0;
    double stop = 0.0;
    double step = 0.0;
    if (!read_real(item.substr(0, first_colon), &start) ||
        !read_real(item.substr(first_colon + 1, second_colon - first_colon - 1), &stop) ||
        !read_real(item.substr(second_colon + 1), &step)) {
        return "--coupling range " + quoted + " is not START:STOP:STEP with three numbers";
    }
    if (start < 0.0 || stop > 1.0) {
        return "--coupling range " + quoted + " leaves [0, 1]";
    }
    if (!(step > 0.0)) {
        return "--coupling range " + quoted + " needs a STEP above 0";
    }
    if (start > stop) {
        return "--coupling range " + quoted + " starts above its STOP";
    }
    // STOP belongs to the grid when it lies within a rounding step of a grid point; then it
    // is taken as written rather than as START + i STEP's last bits, which might overshoot.
    const double steps = (stop - start) / step;
    if (steps >= static_cast<double>(MOST_RANGE_POINTS)) {
        return "--coupling range " + quoted + " has more than " +
               std::to_string(MOST_RANGE_POINTS) +
               " points, finer than the six decimals that name a value";
    }
    const double tolerance = 1e-9;
    const int last = static_cast<int>(std::floor(steps + tolerance));
    for (int i = 0; i <= last; ++i) {
        // Each value from START and its own i: no error accumulates along the grid.
        double k = start + static_cast<double>(i) * step;
        if (i == last && std::fabs(steps - last) <= tolerance) {
            k = stop;
        }
        couplings->push_back(as_printed(std::min(k, stop)));
    }
    return std::string();
}

} // namespace

int usage_error(const std::string &problem)
{
    report_problem("agreement_ensemble", problem.c_str(), " (see --help)");
    return 2;
}

std::string read_couplings(const char *text, std::vector<double> *couplings)
{
    couplings->clear();
    const std::string list = text;
    std::size_t first = 0;
    for (;;) {
        const std::size_t comma = list.find(',', first);
        const std::string item =
            list.substr(first, comma == std::string::npos ? std::string::npos : comma - first);
        std::string problem = read_coupling_item(item, couplings);
        if (!problem.empty()) {
            return problem;
        }
        // Repeats merge as they come, so that the limit counts the values that would run.
        std::sort(couplings->begin(), couplings->end());
        couplings->erase(std::unique(couplings->begin(), couplings->end()), couplings->end());
        if (couplings->size() > static_cast<std::size_t>(MOST_COUPLINGS)) {
            return "--coupling gives more than " + std::to_string(MOST_COUPLINGS) +
                   " different values";
        }
        if (comma == std::string::npos) {
            break;
        }
        first = comma + 1;
    }
    return std::string();
}

int read_options(int argc, char **argv, ensemble_options *chosen)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char *value = nullptr;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            name.resize(equals);
        }
        if (name == "--help" || name == "--version") {
            if (value != nullptr) {
                return usage_error(name + " takes no value");
            }
            (name == "--help" ? chosen->help : chosen->version) = true;
            continue;
        }
        const bool known = name == "--seeds" || name == "--first-seed" || name == "--threads" ||
                           name == "--output" || name == "--per-seed" || name == "--coupling";
        if (!known) {
            return usage_error(name.rfind('-', 0) == 0 ? "unknown option '" + name + "'"
                                                       : "unexpected argument '" + name + "'");
        }
        if (value == nullptr) {
            if (i + 1 >= argc) {
                return usage_error(name + " needs a value");
            }
            value = argv[++i];
        }
        if (name == "--output" || name == "--per-seed") {
            if (*value == '\0') {
                return usage_error(name + " needs a file name");
            }
            (name == "--output" ? chosen->output : chosen->per_seed) = value;
        } else if (name == "--coupling") {
            const std::string problem = read_couplings(value, &chosen->couplings);
            if (!problem.empty()) {
                return usage_error(problem);
            }
        } else if (name == "--seeds") {
            if (!read_count(value, 1, STATE_WORDS, &chosen->seeds)) {
                return usage_error("--seeds must be a whole number from 1 to " +
                                   std::to_string(STATE_WORDS) + ", not '" + value + "'");
            }
        } else if (name == "--first-seed") {
            if (!read_count(value, 0, STATE_WORDS - 1, &chosen->first_seed)) {
                return usage_error("--first-seed must be a whole number from 0 to " +
                                   std::to_string(STATE_WORDS - 1) + ", not '" + value + "'");
            }
        } else if (!read_count(value, 1, MOST_THREADS, &chosen->threads)) {
            return usage_error("--threads must be a whole number from 1 to " +
                               std::to_string(MOST_THREADS) + ", not '" + value + "'");
        }
    }
    if (chosen->first_seed + chosen->seeds > STATE_WORDS) {
        return usage_error("seeds " + std::to_string(chosen->first_seed) + " to " +
                           std::to_string(chosen->first_seed + chosen->seeds - 1) +
                           " go beyond the generator's 32-bit state (the last seed is " +
                           std::to_string(STATE_WORDS - 1) + ")");
    }
    if (!chosen->per_seed.empty() && chosen->per_seed == chosen->output) {
        return usage_error("--output and --per-seed name the same file '" + chosen->output + "'");
    }
    return 0;
}
