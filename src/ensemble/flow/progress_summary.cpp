// What the agreement_ensemble program shows while and after it runs: the progress line on a
// terminal and the summary.
#include <charconv>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#define stderr_is_terminal() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define stderr_is_terminal() (isatty(fileno(stderr)) != 0)
#endif

#include "driver_steps.h"
#include "output.h"
#include "stats.h"

namespace {

// One progress line on a terminal, rewritten in place.
void show_progress(const std::string &stage, std::uint64_t done, std::uint64_t seeds,
                   double elapsed)
{
    const double rate = elapsed > 0.0 ? static_cast<double>(done) / elapsed : 0.0;
    const double left = rate > 0.0 && done < seeds ? static_cast<double>(seeds - done) / rate : 0.0;
    const std::string line = "\ragreement_ensemble: " + stage + ": " + std::to_string(done) +
                             " of " + std::to_string(seeds) + " seeds, " + fixed(rate, 0) +
                             " seeds/s, " + fixed(left, 1) + " s left   ";
    static_cast<void>(std::fputs(line.c_str(), stderr));
    static_cast<void>(std::fflush(stderr));
}

void clear_progress()
{
    static_cast<void>(std::fputs("\r                                                            "
                                 "                  \r",
                                 stderr));
}

// The figure's text, or "none" where it is not a number.
std::string figure(double value, int decimals)
{
    return value == value ? fixed(value, decimals) : std::string("none");
}

// The seeds a state covers, as the summary names them: "1 to 1000", or its ranges.
std::string spans_text(const std::vector<seed_span> &spans)
{
    const auto one = [](const seed_span &span) {
        return std::to_string(span.first) + " to " + std::to_string(span.first + span.count - 1);
    };
    if (spans.size() == 1) {
        return one(spans[0]);
    }
    std::string text = "in " + std::to_string(spans.size()) + " ranges: ";
    const std::size_t shown = std::min<std::size_t>(spans.size(), 4);
    for (std::size_t i = 0; i < shown; ++i) {
        text += (i == 0 ? "" : ", ") + one(spans[i]);
    }
    return text + (shown < spans.size() ? ", ..." : "");
}

} // namespace

std::string fixed(double value, int decimals)
{
    char text[64];
    const std::to_chars_result result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return result.ec == std::errc() ? std::string(text, result.ptr) : std::string("nan");
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

study_progress::study_progress(bool merging, std::uint64_t seeds)
    : shown_at_all_(stderr_is_terminal()), seeds_(seeds)
{
    restart(merging ? "merging" : "measuring");
}

void study_progress::restart(const std::string &stage)
{
    stage_ = stage;
    folded_ = 0;
    start_ = std::chrono::steady_clock::now();
    shown_ = 0.0;
}

void study_progress::count(int run, std::uint64_t seeds)
{
    if (run != run_) {
        // A run that finds quantile values again goes over the seeds once more.
        end();
        restart("quantiles");
        run_ = run;
    }
    folded_ += seeds;
    if (shown_at_all_ && seconds_since(start_) - shown_ >= 0.25) {
        shown_ = seconds_since(start_);
        show_progress(stage_, folded_, seeds_, shown_);
    }
}

void study_progress::end()
{
    if (shown_at_all_) {
        clear_progress();
    }
}

// Prints the summary on stdout, or on stderr when stdout carries one of the files. Returns 0,
// or 1 after reporting a failed write.
int print_summary(const study_state &state, std::uint64_t threads, std::uint64_t ranks,
                  double elapsed, std::size_t merged_from, const pass_row *rows, bool stdout_taken)
{
    const std::string ranks_text = ranks > 1 ? std::to_string(ranks) + " ranks of " : std::string();
    const std::size_t couplings = state.coupling_values.size();
    const double runs = static_cast<double>(state.seeds) * static_cast<double>(couplings);
    const double share =
        static_cast<double>(state.few_turning_points) / static_cast<double>(state.seeds);
    std::string text =
        std::to_string(state.seeds) + (state.seeds == 1 ? " seed (" : " seeds (") +
        spans_text(state.spans) + ") at " + std::to_string(couplings) + " coupling" +
        (couplings == 1 ? "" : "s") +
        (merged_from != 0 ? ", merged from " + std::to_string(merged_from) + " state" +
                                (merged_from == 1 ? "" : "s") + " in " + fixed(elapsed, 2) + " s\n"
                          : " on " + ranks_text + std::to_string(threads) + " thread" +
                                (threads == 1 ? "" : "s") + " in " + fixed(elapsed, 2) + " s, " +
                                fixed(runs / elapsed, 0) + " seed-runs/s\n");
    for (std::size_t c = 0; c < couplings; ++c) {
        const pass_row *curve = rows + c * PASS_COUNT;
        const line_fit fit = fit_line(curve);
        const double crossing = zero_crossing(curve);
        const int changes = sign_changes(curve);
        // A noisy curve can cross zero many times: its first crossing is named as such, so
        // that it isn't read as the only one.
        const std::string crossings =
            changes == 0   ? std::string("it never changes sign")
            : changes == 1 ? "it changes sign once, at agreement " + fixed(crossing, 4)
                           : "it changes sign " + std::to_string(changes) +
                                 " times, first at agreement " + fixed(crossing, 4);
        text += "k = " + fixed(state.coupling_values[c], 4) + ": mean r " +
                figure(curve[0].mean_r, 4) + " at full agreement, " +
                figure(curve[PASS_COUNT - 1].mean_r, 4) + " at full disagreement; " + crossings +
                "; its least-squares line has slope " + figure(fit.slope, 4) +
                " and crosses zero at " + figure(-fit.intercept / fit.slope, 4) + ", R^2 " +
                figure(fit.r_squared, 4) + ", the curve at most " +
                figure(fit.largest_distance, 4) + " from it\n";
    }
    text += "turning-point test: " + fixed(100.0 * share, 2) + " % of reference signals (" +
            std::to_string(state.few_turning_points) + " of " + std::to_string(state.seeds) +
            ") have fewer than " + std::to_string(turning_point_bound()) +
            " interior turning points\n";
    if (stdout_taken) {
        // Nowhere is left to say that stderr failed, but the run is abandoned all the same.
        return std::fputs(text.c_str(), stderr) == EOF || std::fflush(stderr) != 0 ? 1 : 0;
    }
    return print_or_report("agreement_ensemble", text.c_str());
}
