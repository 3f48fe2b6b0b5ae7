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
        couplings->push_back(k); // its range is settle_couplings' to judge, as for any caller
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
        couplings->push_back(std::min(k, stop));
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
        // Repeats merge as they come, so that the limit counts the values that would run and
        // many long ranges never pile up.
        problem = settle_couplings(couplings, false, "--coupling");
        if (!problem.empty()) {
            return problem;
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
    request_arguments given;
    std::vector<std::string> seen; // the options read so far, each by its long name
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "merge") == 0) {
        chosen->merge = true;
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
        std::string name = argv[i];
        const char *value = nullptr;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            name.resize(equals);
        }
        if (name == "-h") {
            name = "--help";
        }
        if (chosen->merge && name.rfind('-', 0) != 0) {
            chosen->inputs.push_back(name); // a state file to merge
            continue;
        }
        const bool known = name == "--help" || name == "--version" || name == "--threads" ||
                           name == "--output" || name == "--state" ||
                           (!chosen->merge &&
                            (name == "--seeds" || name == "--first-seed" || name == "--per-seed" ||
                             name == "--coupling" || name == "--quantiles"));
        if (!known) {
            if (chosen->merge &&
                (name == "--seeds" || name == "--first-seed" || name == "--per-seed" ||
                 name == "--coupling" || name == "--quantiles")) {
                return usage_error(name == "--per-seed"
                                       ? std::string("merge writes no per-seed file: states hold "
                                                     "no seed's values")
                                       : "merge takes its " + name.substr(2) +
                                             " from the state files, not " + name);
            }
            return usage_error(name.rfind('-', 0) == 0 ? "unknown option '" + name + "'"
                                                       : "unexpected argument '" + name + "'");
        }
        // A second value would silently replace the first: the run would not be the one asked
        // for.
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
            return usage_error(name + " given twice" +
                               (name == "--coupling" ? ": put every k in one list" : ""));
        }
        seen.push_back(name);
        if (name == "--help" || name == "--version") {
            if (value != nullptr) {
                return usage_error(name + " takes no value");
            }
            (name == "--help" ? chosen->help : chosen->version) = true;
            continue;
        }
        if (value == nullptr) {
            if (i + 1 >= argc) {
                return usage_error(name + " needs a value");
            }
            value = argv[++i];
        }
        if (name == "--output" || name == "--per-seed" || name == "--state") {
            if (*value == '\0') {
                return usage_error(name + " needs a file name");
            }
            (name == "--output"  ? chosen->output
             : name == "--state" ? chosen->state
                                 : chosen->per_seed) = value;
        } else if (name == "--quantiles") {
            const std::string problem =
                read_quantile_list(value, "--quantiles", &chosen->quantiles);
            if (!problem.empty()) {
                return usage_error(problem);
            }
        } else if (name == "--coupling") {
            const std::string problem = read_couplings(value, &given.couplings);
            if (!problem.empty()) {
                return usage_error(problem);
            }
        } else {
            (name == "--seeds"        ? given.seeds
             : name == "--first-seed" ? given.first_seed
                                      : given.threads) = value;
        }
    }
    const request_names names = {"--seeds", "--first-seed", "--threads", "--coupling"};
    const quantile_list quantiles = chosen->quantiles; // the request's check starts afresh
    const std::string problem = check_request(given, names, chosen);
    if (!problem.empty()) {
        return usage_error(problem);
    }
    chosen->quantiles = quantiles;
    if (chosen->merge && chosen->inputs.empty() && !chosen->help && !chosen->version) {
        return usage_error("merge needs at least one state file");
    }
    // The same name twice would overwrite one output with another.
    const std::string *outputs[] = {&chosen->output, &chosen->per_seed, &chosen->state};
    for (int a = 0; a < 3; ++a) {
        for (int b = a + 1; b < 3; ++b) {
            if (!outputs[a]->empty() && *outputs[a] == *outputs[b]) {
                static const char *const names_of[] = {"--output", "--per-seed", "--state"};
                return usage_error(std::string(names_of[a]) + " and " + names_of[b] +
                                   " name the same file '" + *outputs[a] + "'");
            }
        }
    }
    return 0;
}
