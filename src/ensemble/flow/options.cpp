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

// The options only a run takes: a merge takes its seeds, couplings and quantiles from the
// state files, and writes no per-seed file.
bool run_only(const std::string &name)
{
    return name == "--seeds" || name == "--first-seed" || name == "--per-seed" ||
           name == "--coupling" || name == "--quantiles";
}

// Returns an empty string when the reading (a run's, or with merge a merge's) knows the
// option name, or the problem.
std::string unknown_option(const std::string &name, bool merge)
{
    const bool known = name == "--help" || name == "--version" || name == "--threads" ||
                       name == "--output" || name == "--state" || (!merge && run_only(name));
    if (known) {
        return std::string();
    }
    if (merge && run_only(name)) {
        return name == "--per-seed"
                   ? std::string("merge writes no per-seed file: states hold no seed's values")
                   : "merge takes its " + name.substr(2) + " from the state files, not " + name;
    }
    return name.rfind('-', 0) == 0 ? "unknown option '" + name + "'"
                                   : "unexpected argument '" + name + "'";
}

// Takes the value of option name (one that takes a value) into *chosen, or for the request's
// counts and couplings into *given, checked later with the rest of the request. Returns an
// empty string, or the problem.
std::string take_value(const std::string &name, const char *value, ensemble_options *chosen,
                       request_arguments *given)
{
    if (name == "--output" || name == "--per-seed" || name == "--state") {
        if (*value == '\0') {
            return name + " needs a file name";
        }
        (name == "--output"  ? chosen->output
         : name == "--state" ? chosen->state
                             : chosen->per_seed) = value;
        return std::string();
    }
    if (name == "--quantiles") {
        return read_quantile_list(value, "--quantiles", &chosen->quantiles);
    }
    if (name == "--coupling") {
        return read_couplings(value, &given->couplings);
    }
    (name == "--seeds"        ? given->seeds
     : name == "--first-seed" ? given->first_seed
                              : given->threads) = value;
    return std::string();
}

// The same name twice would overwrite one output with another. Returns an empty string, or
// the problem.
std::string outputs_apart(const ensemble_options &chosen)
{
    const std::string *outputs[] = {&chosen.output, &chosen.per_seed, &chosen.state};
    static const char *const names_of[] = {"--output", "--per-seed", "--state"};
    for (int a = 0; a < 3; ++a) {
        for (int b = a + 1; b < 3; ++b) {
            if (!outputs[a]->empty() && *outputs[a] == *outputs[b]) {
                return std::string(names_of[a]) + " and " + names_of[b] + " name the same file '" +
                       *outputs[a] + "'";
            }
        }
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
        std::string problem = unknown_option(name, chosen->merge);
        // A second value would silently replace the first: the run would not be the one asked
        // for.
        if (problem.empty() && std::find(seen.begin(), seen.end(), name) != seen.end()) {
            problem =
                name + " given twice" + (name == "--coupling" ? ": put every k in one list" : "");
        }
        seen.push_back(name);
        const bool flag = name == "--help" || name == "--version";
        if (problem.empty() && flag) {
            problem = value != nullptr ? name + " takes no value" : std::string();
            (name == "--help" ? chosen->help : chosen->version) = true;
        } else if (problem.empty() && value == nullptr) {
            value = i + 1 < argc ? argv[++i] : nullptr;
            problem = value == nullptr ? name + " needs a value" : std::string();
        }
        if (problem.empty() && !flag) {
            problem = take_value(name, value, chosen, &given);
        }
        if (!problem.empty()) {
            return usage_error(problem);
        }
    }
    const request_names names = {"--seeds", "--first-seed", "--threads", "--coupling"};
    const quantile_list quantiles = chosen->quantiles; // the request's check starts afresh
    std::string problem = check_request(given, names, chosen);
    chosen->quantiles = quantiles;
    if (problem.empty() && chosen->merge && chosen->inputs.empty() && !chosen->help &&
        !chosen->version) {
        problem = "merge needs at least one state file";
    }
    if (problem.empty()) {
        problem = outputs_apart(*chosen);
    }
    return problem.empty() ? 0 : usage_error(problem);
}
