// The choice of kernel: the one list of paths this build has, the one question put to the
// processor, and AGREEMENT_ENSEMBLE_ISA's say.
#include <algorithm>
#include <cstring>

#include "kernels.h"
#include "seed_lanes.h"

// The table of vector paths, widest first, as the build lists them: KERNEL_ISAS, ending in a
// null.
#include "kernel_isa_table.h"

namespace {

void run_block_plain(const std::uint32_t *seeds, int count, const double *couplings,
                     int coupling_count, bool ranks, seed_result *results)
{
    for (int i = 0; i < count; ++i) {
        run_seed(seeds[i], couplings, coupling_count, ranks,
                 results + static_cast<std::ptrdiff_t>(i) * coupling_count);
    }
}

const kernel_path PLAIN_PATH = {"plain", 0U, run_block_plain};

constexpr int PATH_COUNT =
    static_cast<int>(sizeof KERNEL_ISAS / sizeof KERNEL_ISAS[0]); // the plain one too

// The vector paths' entries followed by the plain path's.
struct path_list {
    const kernel_path *paths[PATH_COUNT];
};

path_list list_paths()
{
    path_list list{};
    for (int i = 0; KERNEL_ISAS[i] != nullptr; ++i) {
        list.paths[i] = &KERNEL_ISAS[i]->path;
    }
    list.paths[PATH_COUNT - 1] = &PLAIN_PATH;
    return list;
}

unsigned ask_processor()
{
    unsigned features = 0U;
#if defined(__SSE2__) || defined(_M_X64)
    features |= CPU_SSE2; // the build itself counts on it
#endif
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    features |= __builtin_cpu_supports("avx2") ? CPU_AVX2 : 0U;
    features |= __builtin_cpu_supports("fma") ? CPU_FMA : 0U;
    features |= __builtin_cpu_supports("avx512f") ? CPU_AVX512F : 0U;
    features |= __builtin_cpu_supports("avx512bw") ? CPU_AVX512BW : 0U;
    features |= __builtin_cpu_supports("avx512dq") ? CPU_AVX512DQ : 0U;
    features |= __builtin_cpu_supports("avx512vl") ? CPU_AVX512VL : 0U;
#endif
    return features;
}

} // namespace

unsigned cpu_features()
{
    static const unsigned features = ask_processor();
    return features;
}

bool path_runs_here(const kernel_path &path)
{
    return (path.needs & ~cpu_features()) == 0U;
}

const kernel_isa *const *kernel_isas()
{
    return KERNEL_ISAS;
}

const kernel_path *const *kernel_paths(int *count)
{
    static const path_list list = list_paths();
    *count = PATH_COUNT;
    return list.paths;
}

std::string kernel_path_names(const char *separator)
{
    int count = 0;
    const kernel_path *const *paths = kernel_paths(&count);
    std::string names;
    for (int i = 0; i < count; ++i) {
        names += (names.empty() ? "" : separator) + std::string(paths[i]->name);
    }
    return names;
}

std::string choose_kernel_path(const char *asked, const kernel_path **path)
{
    int count = 0;
    const kernel_path *const *paths = kernel_paths(&count);
    if (asked == nullptr || *asked == '\0') {
        // The plain path is always there and runs everywhere, so the search ends on one.
        *path = *std::find_if(paths, paths + count, [](const kernel_path *candidate) {
            return path_runs_here(*candidate);
        });
        return "";
    }
    const char *name = std::strcmp(asked, "generic") == 0 ? "plain" : asked;
    const kernel_path *const *found =
        std::find_if(paths, paths + count, [&](const kernel_path *candidate) {
            return std::strcmp(name, candidate->name) == 0;
        });
    if (found == paths + count) {
        return std::string("AGREEMENT_ENSEMBLE_ISA='") + asked +
               "' is not a path this build has (" + kernel_path_names(", ") + ")";
    }
    if (!path_runs_here(**found)) {
        return std::string("AGREEMENT_ENSEMBLE_ISA=") + asked +
               ": this processor can't run that path";
    }
    *path = *found;
    return "";
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
