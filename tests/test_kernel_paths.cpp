// The choice of kernel path: the processor's features as the program finds them, the paths
// that run on them, and AGREEMENT_ENSEMBLE_ISA's names.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kernels.h"

TEST(Kernels, PathChoice)
{
    int count = 0;
    const kernel_path *const *paths = kernel_paths(&count);
    ASSERT_GE(count, 1);
    EXPECT_STREQ(paths[count - 1]->name, "plain") << "the plain path ends the table";
    const kernel_path *widest = nullptr;
    for (int i = count - 1; i >= 0; --i) {
        widest = path_runs_here(*paths[i]) ? paths[i] : widest;
    }
    // Unset or empty: the widest the processor has.
    for (const char *unset : {static_cast<const char *>(nullptr), ""}) {
        const kernel_path *path = nullptr;
        EXPECT_EQ(choose_kernel_path(unset, &path), "");
        EXPECT_EQ(path, widest);
    }
    // Every path by its name, or the processor's reason.
    for (int i = 0; i < count; ++i) {
        const kernel_path *path = nullptr;
        const std::string problem = choose_kernel_path(paths[i]->name, &path);
        EXPECT_EQ(problem.empty(), path_runs_here(*paths[i])) << paths[i]->name << ": " << problem;
        EXPECT_EQ(path, problem.empty() ? paths[i] : nullptr);
    }
    // A name the build has no path for: the whole message, with the table's names in order.
    std::string names;
    for (int i = 0; i < count; ++i) {
        names += std::string(i == 0 ? "" : ", ") + paths[i]->name;
    }
    const kernel_path *path = nullptr;
    EXPECT_EQ(choose_kernel_path("avx", &path),
              "AGREEMENT_ENSEMBLE_ISA='avx' is not a path this build has (" + names + ")");
    EXPECT_EQ(path, nullptr);
    // The plain path's earlier name still names it.
    EXPECT_EQ(choose_kernel_path("generic", &path), "");
    EXPECT_EQ(path, paths[count - 1]);
    // A path runs only where the processor has every feature it needs, not just some.
    const kernel_path lacking = {"lacking", cpu_features() | 0x80000000U, nullptr};
    EXPECT_FALSE(path_runs_here(lacking));
    EXPECT_TRUE(path_runs_here(kernel_path{"having", cpu_features(), nullptr}));
}

// The processor's features as the program finds them, against what the system says of it.
TEST(Kernels, FeaturesAsTheSystemReportsThem)
{
#if defined(__x86_64__) || defined(__i386__)
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line) && line.rfind("flags", 0) != 0) {
    }
    if (line.empty()) {
        GTEST_SKIP() << "no /proc/cpuinfo flags to compare with";
    }
    std::istringstream words(line.substr(line.find(':') + 1));
    const std::vector<std::string> flags{std::istream_iterator<std::string>(words), {}};
    const std::pair<const char *, unsigned> features[] = {
        {"sse2", CPU_SSE2},        {"avx2", CPU_AVX2},         {"fma", CPU_FMA},
        {"avx512f", CPU_AVX512F},  {"avx512bw", CPU_AVX512BW}, {"avx512dq", CPU_AVX512DQ},
        {"avx512vl", CPU_AVX512VL}};
    for (const auto &[flag, bit] : features) {
        const bool listed = std::find(flags.begin(), flags.end(), flag) != flags.end();
        EXPECT_EQ((cpu_features() & bit) != 0, listed) << flag;
    }
#else
    GTEST_SKIP() << "the features asked for are x86's";
#endif
}
