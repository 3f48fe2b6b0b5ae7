// The one-shot run's file names and the messages that name them.
#include <gtest/gtest.h>

#include <cerrno>

#include "run_files.h"

TEST(Paths, UseTheHostSeparator)
{
    char buffer[32];
    pass_file_name(buffer, 1);
#ifdef _WIN32
    EXPECT_STREQ(buffer, "data\\1\\sign_1");
    EXPECT_STREQ(CORRELATION_SUMMARY_PATH, "data\\tov.dat");
#else
    EXPECT_STREQ(buffer, "data/1/sign_1"); // no trailing blank
    EXPECT_STREQ(REFERENCE_SIGNAL_PATH, "data/signal_1.dat");
    EXPECT_STREQ(CORRELATION_SUMMARY_PATH, "data/tov.dat");
    EXPECT_STREQ(RANK_SUMMARY_PATH, "data/sl.dat");
    pass_file_name(buffer, 128);
    EXPECT_STREQ(buffer, "data/1/sign_128");
#endif
}

TEST(RunMessages, NameTheFileAndTheReason)
{
    testing::internal::CaptureStderr();
    errno = ENOENT;
    report_open_failure("data/tov.dat");
    errno = ENOSPC;
    report_write_failure("data/sl.dat");
    report_incomplete_summary("data/tov.dat", 63);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "agreement_sweep: cannot open data/tov.dat for writing: No such file or directory\n"
              "agreement_sweep: cannot write data/sl.dat: No space left on device\n"
              "agreement_sweep: data/tov.dat left incomplete: 63 of 128 passes\n");
}
