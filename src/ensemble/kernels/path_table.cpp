// The seed kernels' shared plain parts, and the choice of kernel: the widest one this build
// and processor have, unless AGREEMENT_ENSEMBLE_ISA names one.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "kernels.h"
#include "seed_lanes.h"
#include "stats.h"
#include "synth.h"

void prepare_reference(std::uint32_t seed, seed_reference *reference)
{
    std::uint32_t state = seed;
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference->level[i] = draw_level_from(&state);
    }
    reference->turning_points = turning_points(reference->level);
    const double mean = signal_mean(reference->level);
    const double variance = signal_variance(reference->level, mean);
    for (int i = 0; i < SIGNAL_LENGTH; ++i) {
        reference->deviation[i] = reference->level[i] - mean;
    }
    for (int p = 0; p < STEP_COUNT; ++p) {
        const reference_step step = reference_step_at(reference->level, p);
        reference->size[p] = step.size;
        reference->falls[p] = step.falls ? 0xFFFFFFFFU : 0U;
        reference->moves[p] = step.rises || step.falls ? 0xFFFFFFFFU : 0U;
    }
    reference->scale = correlation_scale(variance);
}

namespace {

bool always()
{
    return true;
}

void run_block_plain(const std::uint32_t *seeds, int count, const double *couplings,
                     int coupling_count, bool ranks, seed_result *results)
{
    for (int i = 0; i < count; ++i) {
        run_seed(seeds[i], couplings, coupling_count, ranks,
                 results + static_cast<std::ptrdiff_t>(i) * coupling_count);
    }
}

const kernel_path PLAIN_PATH = {"generic", always, run_block_plain, nullptr, 0, nullptr};

// The table of paths: a new instruction set is one entry here and one file of primitives.
const kernel_path *const PATHS[] = {
#if defined(AGREEMENT_ENSEMBLE_AVX512)
    &AVX512_PATH,
#elif defined(AGREEMENT_ENSEMBLE_EMULATE_AVX512)
    &AVX512_EMULATED_PATH,
#endif
#if defined(AGREEMENT_ENSEMBLE_AVX2)
    &AVX2_PATH,
#endif
#if defined(AGREEMENT_ENSEMBLE_SSE2)
    &SSE2_PATH,
#endif
    &PLAIN_PATH,
};
constexpr int PATH_COUNT = static_cast<int>(sizeof PATHS / sizeof PATHS[0]);

} // namespace

#if defined(AGREEMENT_ENSEMBLE_AVX2)
bool avx2_processor()
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool avx512_processor()
{
    return avx2_processor() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl");
}
#endif

bool avx512_emulation_runs()
{
#if defined(AGREEMENT_ENSEMBLE_AVX2)
    return avx2_processor(); // built for AVX2 and FMA where the AVX2 kernel is
#else
    return true;
#endif
}

const kernel_path *const *kernel_paths(int *count)
{
    *count = PATH_COUNT;
    return PATHS;
}

std::string kernel_path_names(const char *separator)
{
    std::string names;
    for (const kernel_path *path : PATHS) {
        names += (names.empty() ? "" : separator) + std::string(path->name);
    }
    return names;
}

std::string choose_kernel_path(const char *asked, const kernel_path **path)
{
    if (asked == nullptr || *asked == '\0') {
        // The plain path is always there, so the search always ends on one.
        *path = *std::find_if(std::begin(PATHS), std::end(PATHS),
                              [](const kernel_path *candidate) { return candidate->available(); });
        return "";
    }
    for (const kernel_path *candidate : PATHS) {
        if (std::strcmp(asked, candidate->name) != 0) {
            continue;
        }
        if (!candidate->available()) {
            return std::string("AGREEMENT_ENSEMBLE_ISA=") + asked +
                   ": this processor can't run that path";
        }
        *path = candidate;
        return "";
    }
    return std::string("AGREEMENT_ENSEMBLE_ISA='") + asked + "' is not a path this build has (" +
           kernel_path_names(", ") + ")";
}

void run_seeds(const kernel_path &path, std::uint32_t first_seed, int count,
               const double *couplings, int coupling_count, bool ranks, seed_result *results)
{
    for (int done = 0; done < count;) {
        std::uint32_t seeds[LANE_SEEDS];
        const int block_count = count - done < LANE_SEEDS ? count - done : LANE_SEEDS;
        for (int i = 0; i < block_count; ++i) {
            seeds[i] = first_seed + static_cast<std::uint32_t>(done + i);
        }
        path.run_block(seeds, block_count, couplings, coupling_count, ranks,
                       results + static_cast<std::ptrdiff_t>(done) * coupling_count);
        done += block_count;
    }
}
