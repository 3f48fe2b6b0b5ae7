// A study's state as a file: a header that says what made it and what it covers, the state's
// counts, sums, histograms and kept values, and a checksum over all of it. Little-endian
// whatever the machine, so that a state written on one machine merges on any other.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "files.h"

namespace {

constexpr char MAGIC[8] = {'A', 'G', 'R', 'S', 'T', 'A', 'T', 'E'};
// What makes two states' figures comparable besides the format: the experiment's arithmetic
// and the way a state keeps values. A change to either changes this.
constexpr char EXPERIMENT_IDENTITY[] = "agreement sweep experiment 1; state window 6 sd, 1";

void put_u64(std::string *out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xffU));
    }
}

void put_u32(std::string *out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<char>((value >> (8 * i)) & 0xffU));
    }
}

void put_double(std::string *out, double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    put_u64(out, bits);
}

void put_text(std::string *out, const char *text)
{
    put_u32(out, static_cast<std::uint32_t>(std::strlen(text)));
    out->append(text);
}

// Counts are mostly small: seven bits a byte, the high bit saying more follow.
void put_count(std::string *out, std::uint64_t value)
{
    while (value >= 0x80U) {
        out->push_back(static_cast<char>((value & 0x7fU) | 0x80U));
        value >>= 7;
    }
    out->push_back(static_cast<char>(value));
}

// FNV-1a, 64 bits: enough to tell a damaged file, not meant against tampering.
std::uint64_t checksum(const unsigned char *data, std::size_t size)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Reads what put_* wrote, never past the end; any shortfall marks the reader failed.
struct reader {
    const unsigned char *at;
    const unsigned char *end;
    bool failed = false;

    // An unsigned integer of `bytes` bytes, least significant first.
    std::uint64_t little(int bytes)
    {
        if (end - at < bytes) {
            failed = true;
            at = end;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
        }
        at += bytes;
        return value;
    }
    std::uint64_t u64() { return little(8); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
    double real()
    {
        const std::uint64_t bits = u64();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    std::string text()
    {
        const std::uint32_t length = u32();
        if (static_cast<std::uint64_t>(end - at) < length) {
            failed = true;
            at = end;
            return std::string();
        }
        std::string value(reinterpret_cast<const char *>(at), length);
        at += length;
        return value;
    }
    std::uint64_t count()
    {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at == end) {
                failed = true;
                return 0;
            }
            const unsigned char byte = *at++;
            value |= static_cast<std::uint64_t>(byte & 0x7fU) << shift;
            if ((byte & 0x80U) == 0) {
                return value;
            }
        }
        failed = true;
        return 0;
    }
};

} // namespace

int read_whole_file(const std::string &path, std::string *bytes)
{
    errno = 0;
    std::FILE *const stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        return -1;
    }
    char buffer[1 << 16];
    std::size_t got = 0;
    bytes->clear();
    while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
        bytes->append(buffer, got);
    }
    const bool failed = std::ferror(stream) != 0;
    const int saved = errno;
    static_cast<void>(std::fclose(stream));
    errno = saved;
    return failed ? -1 : 0;
}

std::string state_bytes(const study_state &state)
{
    std::string out(MAGIC, sizeof MAGIC);
    put_u32(&out, STATE_FORMAT);
    put_text(&out, AGREEMENT_SWEEP_VERSION);
    put_text(&out, EXPERIMENT_IDENTITY);
    put_u32(&out, static_cast<std::uint32_t>(state.couplings));
    put_u32(&out, static_cast<std::uint32_t>(state.bins));
    put_u32(&out, static_cast<std::uint32_t>(state.quantiles.count));
    for (int i = 0; i < state.quantiles.count; ++i) {
        put_u32(&out, state.quantiles.per_million[i]);
    }
    for (double k : state.coupling_values) {
        put_double(&out, k);
    }
    put_u64(&out, state.spans.size());
    for (const seed_span &span : state.spans) {
        put_u64(&out, span.first);
        put_u64(&out, span.count);
    }
    put_u64(&out, state.seeds);
    put_u64(&out, state.few_turning_points);
    for (const pass_sums &sums : state.sums) {
        write_sums(&out, sums);
    }
    for (std::size_t cell = 0; cell < state.excluding.size(); ++cell) {
        put_count(&out, state.excluding[cell]);
        put_count(&out, state.nan_r[cell]);
    }
    for (std::uint64_t count : state.histogram) {
        put_count(&out, count);
    }
    for (const std::vector<double> &values : state.values) {
        put_count(&out, values.size());
        for (double r : values) {
            put_double(&out, r);
        }
    }
    put_u64(&out, checksum(reinterpret_cast<const unsigned char *>(out.data()), out.size()));
    return out;
}

namespace {

// Reads the file's heading (what it is, its format, the program and experiment that wrote
// it) and checks its checksum, leaving *in over the contents between them. Returns an empty
// string, or what is wrong.
std::string read_heading(const std::string &bytes, reader *in)
{
    const unsigned char *const data = reinterpret_cast<const unsigned char *>(bytes.data());
    if (bytes.size() < sizeof MAGIC || std::memcmp(data, MAGIC, sizeof MAGIC) != 0) {
        return "is not a state file of agreement_ensemble";
    }
    *in = {data + sizeof MAGIC, data + bytes.size()};
    const std::uint32_t format = in->u32();
    if (!in->failed && format != STATE_FORMAT) {
        return "has state format " + std::to_string(format) + "; this program reads format " +
               std::to_string(STATE_FORMAT);
    }
    const std::string version = in->text();
    const std::string identity = in->text();
    if (!in->failed && (version != AGREEMENT_SWEEP_VERSION || identity != EXPERIMENT_IDENTITY)) {
        return "was written by agreement_ensemble " + version + " (" + identity +
               "); this is " AGREEMENT_SWEEP_VERSION " (" + EXPERIMENT_IDENTITY + ")";
    }
    // The checksum first: whatever follows is read only from an undamaged file.
    if (bytes.size() < sizeof MAGIC + 8 ||
        checksum(data, bytes.size() - 8) !=
            reader{data + bytes.size() - 8, data + bytes.size()}.u64()) {
        return in->failed ? "is truncated"
                          : "is damaged or truncated (its checksum does not match)";
    }
    in->end = data + bytes.size() - 8; // the contents, before the checksum
    return std::string();
}

// Reads the state's sizes, quantiles, couplings and seed ranges into *state, started with
// them. Returns an empty string, or what is wrong.
std::string read_sizes(reader *in, study_state *state)
{
    const std::uint32_t couplings = in->u32();
    const std::uint32_t bins = in->u32();
    quantile_list quantiles;
    const std::uint32_t count = in->u32();
    if (in->failed || couplings == 0 || couplings > 100000 || count == 0 ||
        count > static_cast<std::uint32_t>(MOST_QUANTILES)) {
        return "is damaged (its sizes are impossible)";
    }
    quantiles.count = static_cast<int>(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        quantiles.per_million[i] = in->u32();
        if (quantiles.per_million[i] > WHOLE ||
            (i > 0 && quantiles.per_million[i] <= quantiles.per_million[i - 1])) {
            return "is damaged (its quantiles are not ascending probabilities)";
        }
    }
    start_state(state, static_cast<int>(couplings), quantiles);
    if (static_cast<std::uint32_t>(state->bins) != bins) {
        return "is damaged (its histogram size does not match its couplings)";
    }
    for (std::uint32_t c = 0; c < couplings; ++c) {
        state->coupling_values.push_back(in->real());
    }
    const std::uint64_t spans = in->u64();
    if (spans > static_cast<std::uint64_t>(in->end - in->at) / 16) {
        return "is damaged (its seed ranges run past its end)";
    }
    for (std::uint64_t i = 0; i < spans && !in->failed; ++i) {
        const std::uint64_t first = in->u64();
        state->spans.push_back(seed_span{first, in->u64()});
    }
    return std::string();
}

// Reads the state's counts, sums, histograms and kept values, the window they were kept in
// into *window. Returns true when they fill the contents exactly.
bool read_counts(reader *in, study_state *state, std::vector<std::uint8_t> *window)
{
    state->seeds = in->u64();
    state->few_turning_points = in->u64();
    for (pass_sums &sums : state->sums) {
        if (!in->failed && !read_sums(&in->at, in->end, &sums)) {
            in->failed = true;
        }
    }
    for (std::size_t cell = 0; cell < state->excluding.size(); ++cell) {
        state->excluding[cell] = in->count();
        state->nan_r[cell] = in->count();
    }
    std::generate(state->histogram.begin(), state->histogram.end(), [in] { return in->count(); });
    state_window(*state, window);
    open_window(state, *window);
    for (std::size_t cell = 0; cell < state->values.size() && !in->failed; ++cell) {
        const std::uint64_t held = in->count();
        if (held > static_cast<std::uint64_t>(in->end - in->at) / 8) {
            in->failed = true;
            break;
        }
        std::vector<double> &values = state->values[cell];
        values.reserve(held);
        for (std::uint64_t i = 0; i < held; ++i) {
            values.push_back(in->real());
        }
    }
    return !in->failed && in->at == in->end;
}

// Checks that what a state read whole says adds up. Returns an empty string, or what is
// wrong.
std::string check_counts(const study_state &state, const std::vector<std::uint8_t> &window)
{
    // What it says it covers must add up, or a merge would count seeds wrongly.
    std::uint64_t covered = 0;
    std::uint64_t next = 0;
    for (const seed_span &span : state.spans) {
        if (span.count == 0 || span.first < next ||
            span.first + span.count > (std::uint64_t{1} << 32)) {
            return "is damaged (its seed ranges are not ascending and apart)";
        }
        next = span.first + span.count;
        covered += span.count;
    }
    if (covered != state.seeds || state.seeds == 0) {
        return "is damaged (its seed ranges do not add up to its seeds)";
    }
    const std::size_t bin_count = static_cast<std::size_t>(state.bins);
    for (std::size_t cell = 0; cell < state.values.size(); ++cell) {
        std::uint64_t counted = state.nan_r[cell];
        std::uint64_t kept = 0;
        for (std::size_t b = 0; b < bin_count; ++b) {
            counted += state.histogram[cell * bin_count + b];
            kept += window[cell * bin_count + b] != 0 ? state.histogram[cell * bin_count + b] : 0U;
        }
        if (counted != state.seeds || kept != state.values[cell].size()) {
            return "is damaged (its histograms do not match its seeds)";
        }
    }
    if (!values_fit(state)) {
        return "is damaged (its kept values do not fit its histograms)";
    }
    return std::string();
}

} // namespace

std::string read_state(const std::string &bytes, study_state *state)
{
    reader in = {nullptr, nullptr};
    std::string problem = read_heading(bytes, &in);
    if (problem.empty()) {
        problem = read_sizes(&in, state);
    }
    std::vector<std::uint8_t> window;
    if (problem.empty() && !read_counts(&in, state, &window)) {
        problem = "is damaged (its contents do not fit its sizes)";
    }
    return problem.empty() ? check_counts(*state, window) : problem;
}
