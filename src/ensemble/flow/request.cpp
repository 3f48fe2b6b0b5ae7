// The request: the one rule by which the command line and the Python module turn what they
// were given into the seeds, threads and coupling coefficients an ensemble runs.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <system_error>
#include <thread>

#include "flow.h"
#include "output.h"

namespace {

// Reads a whole decimal number from lowest to highest. Returns false for anything else:
// signs, blanks, other characters, or a value out of range (however many digits).
bool read_count(const std::string &text, std::uint64_t lowest, std::uint64_t highest,
                std::uint64_t *value)
{
    const char *const first = text.data();
    const char *const end = first + text.size();
    if (first == end || *first < '0' || *first > '9') {
        return false;
    }
    const std::from_chars_result result = std::from_chars(first, end, *value);
    return result.ec == std::errc() && result.ptr == end && *value >= lowest && *value <= highest;
}

// Reads a count given as text into *value, keeping the default where none was given. Returns
// an empty string, or the problem.
std::string read_given_count(const std::string &text, const char *name, std::uint64_t lowest,
                             std::uint64_t highest, std::uint64_t *value)
{
    if (text.empty() || read_count(text, lowest, highest, value)) {
        return std::string();
    }
    return std::string(name) + " must be a whole number from " + std::to_string(lowest) + " to " +
           std::to_string(highest) + ", not '" + text + "'";
}

// k's shortest text that reads back as the same double ("1.5", "-0.1", "nan"), for messages.
std::string shortest_text(double k)
{
    char text[64];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, k);
    return std::string(text, result.ptr);
}

} // namespace

double coupling_as_printed(double k)
{
    char text[64];
    const char *const end = format_fixed(text, text + sizeof text, k);
    double printed = k;
    if (end != nullptr) {
        static_cast<void>(std::from_chars(text, end, printed, std::chars_format::fixed));
    }
    return printed + 0.0; // + 0.0 turns -0 into 0
}

std::string settle_couplings(std::vector<double> *couplings, bool listed_order, const char *name)
{
    for (double &k : *couplings) {
        // The value as given is judged, not its rounding: 1.0000004 is refused though it
        // prints 1.000000, as the command line refuses it.
        if (!(k >= 0.0 && k <= 1.0)) {
            return std::string(name) + " value '" + shortest_text(k) + "' lies outside [0, 1]";
        }
        k = coupling_as_printed(k);
    }
    if (!listed_order) {
        std::sort(couplings->begin(), couplings->end());
        couplings->erase(std::unique(couplings->begin(), couplings->end()), couplings->end());
    }
    if (couplings->empty()) {
        return std::string(name) + " needs at least one value";
    }
    if (couplings->size() > static_cast<std::size_t>(MOST_COUPLINGS)) {
        return std::string(name) + " gives more than " + std::to_string(MOST_COUPLINGS) +
               (listed_order ? " values" : " different values");
    }
    return std::string();
}

std::string check_request(const request_arguments &given, const request_names &names,
                          ensemble_request *request)
{
    // Step 1: each count on its own, each named as the caller knows it.
    ensemble_request checked;
    std::string problem =
        read_given_count(given.seeds, names.seeds, 1, STATE_WORDS, &checked.seeds);
    if (problem.empty()) {
        problem = read_given_count(given.first_seed, names.first_seed, 0, STATE_WORDS - 1,
                                   &checked.first_seed);
    }
    if (problem.empty()) {
        checked.threads = std::min<std::uint64_t>(std::max(1U, std::thread::hardware_concurrency()),
                                                  MOST_THREADS);
        problem = read_given_count(given.threads, names.threads, 1, MOST_THREADS, &checked.threads);
    }
    if (!problem.empty()) {
        return problem;
    }
    // Step 2: the seeds together, which can't pass the generator's last state word.
    if (checked.first_seed + checked.seeds > STATE_WORDS) {
        return "seeds " + std::to_string(checked.first_seed) + " to " +
               std::to_string(checked.first_seed + checked.seeds - 1) +
               " go beyond the generator's 32-bit state (the last seed is " +
               std::to_string(STATE_WORDS - 1) + ")";
    }
    // Step 3: the couplings, as they will run.
    checked.couplings = given.couplings;
    problem = settle_couplings(&checked.couplings, given.listed_order, names.coupling);
    if (!problem.empty()) {
        return problem;
    }
    *request = std::move(checked);
    return std::string();
}
