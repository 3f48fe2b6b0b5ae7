// Number text, record formatting, the decimal comma, paths, streams and failure messages.
// Expected texts are exact decimal expansions rounded by hand to six places, ties to even.
#include <gtest/gtest.h>

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <cstdio>
#include <string>

#include "output.h"

#ifndef _WIN32
#include <filesystem>

#include "program_harness.h"
#endif

namespace {

std::string fixed(double value)
{
    char text[400];
    char *end = format_fixed(text, text + sizeof text, value);
    return end == nullptr ? std::string("<no room>") : std::string(text, end);
}

std::string record(const char *pattern, double a, double b = 0.0, double c = 0.0)
{
    char buffer[TEXT_BUFFER_SIZE];
    EXPECT_GE(format_record(buffer, pattern, a, b, c), 0);
    return buffer;
}

std::string comma(const char *pattern, double a, double b = 0.0, double c = 0.0)
{
    char buffer[TEXT_BUFFER_SIZE];
    format_record(buffer, pattern, a, b, c);
    to_decimal_comma(buffer);
    return buffer;
}

} // namespace

TEST(NumberText, PlainValues)
{
    EXPECT_EQ(fixed(0.0), "0.000000");
    EXPECT_EQ(fixed(0.5), "0.500000");
    EXPECT_EQ(fixed(1.011261329997), "1.011261"); // the run's first level
    EXPECT_EQ(fixed(10.0), "10.000000");
    EXPECT_EQ(fixed(0.1), "0.100000");
    EXPECT_EQ(fixed(239.86001980), "239.860020");
}

TEST(NumberText, NegativeValues)
{
    EXPECT_EQ(fixed(-0.458734), "-0.458734");
    EXPECT_EQ(fixed(-0.350419), "-0.350419");
    EXPECT_EQ(fixed(-1e-7), "-0.000000"); // rounds to zero but keeps its sign, as %f does
    EXPECT_EQ(fixed(-0.0), "-0.000000");
}

TEST(NumberText, ExactTiesRoundToEven)
{
    // 2^-7 = 0.0078125 and 3 * 2^-7 = 0.0234375 are exact: the seventh digit is a true tie.
    EXPECT_EQ(fixed(0.0078125), "0.007812");
    EXPECT_EQ(fixed(0.0234375), "0.023438");
    EXPECT_EQ(fixed(-0.0078125), "-0.007812");
    EXPECT_EQ(fixed(1.0078125), "1.007812");
}

TEST(NumberText, NearTiesFollowTheExactValue)
{
    // Written ties that are not ties in binary round the way the stored value lies.
    EXPECT_EQ(fixed(5e-7), "0.000000");                      // stored as 4.99999999999999977e-7
    EXPECT_EQ(fixed(1.0000005), "1.000001");                 // stored as 1.00000050000000007
    EXPECT_EQ(fixed(9.9999995), "9.999999");                 // stored as 9.99999949999999949
    EXPECT_EQ(fixed(123456789.1234565), "123456789.123456"); // stored just below the tie
}

TEST(NumberText, RoundsUpAcrossPowersOfTen)
{
    EXPECT_EQ(fixed(0.9999995), "1.000000"); // stored as 0.99999950000000004
    EXPECT_EQ(fixed(9.9999996), "10.000000");
    EXPECT_EQ(fixed(-9.9999996), "-10.000000");
    EXPECT_EQ(fixed(99.9999995), "100.000000"); // stored as 99.9999995000000013
}

TEST(NumberText, LargeValues)
{
    EXPECT_EQ(fixed(9007199254740992.0), "9007199254740992.000000"); // 2^53
    EXPECT_EQ(fixed(1e22), "10000000000000000000000.000000");        // exact in binary
    EXPECT_EQ(fixed(1e23), "99999999999999991611392.000000");        // nearest double
    EXPECT_EQ(fixed(1.7976931348623157e308).size(), 316U);           // 309 digits + 7
}

TEST(NumberText, IgnoresTheLocale)
{
    // A locale with a decimal comma must not change the text.
    bool comma = false;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE"}) {
        if (std::setlocale(LC_ALL, name) != nullptr && *std::localeconv()->decimal_point == ',') {
            comma = true;
            break;
        }
    }
    if (!comma) {
        std::setlocale(LC_ALL, "C");
        GTEST_SKIP() << "no locale with a decimal comma installed (Debian: locales, with "
                        "de_DE.UTF-8 enabled in /etc/locale.gen)";
    }
    EXPECT_EQ(fixed(2.5), "2.500000");
    EXPECT_EQ(fixed(-1234.5), "-1234.500000");
    std::setlocale(LC_ALL, "C");
}

TEST(RecordFormat, Patterns)
{
    EXPECT_EQ(record("%f \n", 1.011261329997), "1.011261 \n");
    EXPECT_EQ(record("%f\n", 4.5), "4.500000\n");
    EXPECT_EQ(record("%f\t", 1.0), "1.000000\t");
    EXPECT_EQ(record("%f\t%f\t%f\n", 4.672334, 239.86001980, 0.356753),
              "4.672334\t239.860020\t0.356753\n");
}

TEST(RecordFormat, TooLongLeavesAnEmptyBuffer)
{
    // Three values of 316 characters each can't fit the 256-character buffer.
    char buffer[TEXT_BUFFER_SIZE];
    errno = 0;
    EXPECT_EQ(format_record(buffer, "%f\t%f\t%f\n", 1e308, 1e308, 1e308), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(buffer, "");
    // 255 characters of text fill the buffer exactly; 256 don't.
    EXPECT_EQ(format_record(buffer, "%f", 5e247), 255); // 248 digits + '.' + 6
    EXPECT_EQ(format_record(buffer, "%f", 5e248), -1);
}

TEST(RecordFormat, AppendGathersLines)
{
    char buffer[TEXT_BUFFER_SIZE];
    int length = format_record(buffer, "%f\n", 1.5);
    length = append_record(buffer, length, "%f\n", -2.25);
    EXPECT_EQ(length, 19);
    EXPECT_STREQ(buffer, "1.500000\n-2.250000\n");

    // Fill the buffer with 25 lines of 10 characters; the 26th no longer fits (250 + 10 >
    // 255) and must leave the gathered lines as they were.
    length = 0;
    for (int i = 0; i < 25; ++i) {
        length = append_record(buffer, length, "%f\n", 10.0);
    }
    ASSERT_EQ(length, 250);
    errno = 0;
    EXPECT_EQ(append_record(buffer, length, "%f\n", 10.0), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(std::string(buffer).size(), 250U);
}

TEST(DecimalComma, SummaryFields)
{
    EXPECT_EQ(comma("%f\t", 0.5), "0,500000\t");
    EXPECT_EQ(comma("%f\t", -0.458734), "-0,458734\t");
    EXPECT_EQ(comma("%f\t%f\t%f\n", 4.672334, 239.86001980, -0.350419),
              "4,672334\t239,860020\t-0,350419\n");
    char no_point[] = "12\t-3\n";
    to_decimal_comma(no_point);
    EXPECT_STREQ(no_point, "12\t-3\n");
}

#ifndef _WIN32
TEST(Streams, ReportFailures)
{
    errno = 0;
    char stream_buffer[4096];
    EXPECT_EQ(open_output("no-such-folder/file", stream_buffer, sizeof stream_buffer), nullptr);
    EXPECT_EQ(errno, ENOENT);
    testing::internal::CaptureStderr();
    report_failure("agreement_sweep", "open", "no-such-folder/file", " for writing");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "agreement_sweep: cannot open no-such-folder/file for writing: "
              "No such file or directory\n");

    // A full disk: a piece that fits the stream's buffer waits there and the close fails; one
    // larger than the buffer goes to the device at once and its write fails.
    const scratch_folder folder("agreement_output");
    ASSERT_FALSE(folder.path().empty());
    const std::filesystem::path device = folder.path() / "full";
    if (!make_full_device(device)) {
        GTEST_SKIP() << "making a device node needs root";
    }
    std::FILE *full = open_output(device.c_str(), stream_buffer, sizeof stream_buffer);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(write_piece(full, "1.000000\n"), 0);
    errno = 0;
    EXPECT_EQ(close_output(full), -1);
    EXPECT_EQ(errno, ENOSPC);
    testing::internal::CaptureStderr();
    report_failure("agreement_sweep", "write", "data/tov.dat", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "agreement_sweep: cannot write data/tov.dat: No space left on device\n");

    full = open_output(device.c_str(), stream_buffer, sizeof stream_buffer);
    ASSERT_NE(full, nullptr);
    const std::string larger(sizeof stream_buffer + 1, '7');
    errno = 0;
    EXPECT_EQ(write_piece(full, larger.c_str()), -1);
    EXPECT_EQ(errno, ENOSPC);
    static_cast<void>(close_output(full));
}
#endif

namespace {

// Compares format_fixed with std::to_chars, the reference for the six-decimal form, and
// reports the first value where they differ.
class AgainstToChars {
public:
    void check(double value)
    {
        char expected[400];
        char actual[400];
        char *expected_end =
            std::to_chars(expected, expected + sizeof expected, value, std::chars_format::fixed, 6)
                .ptr;
        char *actual_end = format_fixed(actual, actual + sizeof actual, value);
        if (failures_ < 5 && (actual_end == nullptr || std::string(expected, expected_end) !=
                                                           std::string(actual, actual_end))) {
            ++failures_;
            ADD_FAILURE() << "for " << std::hexfloat << value << " expected "
                          << std::string(expected, expected_end) << " got "
                          << (actual_end == nullptr ? "<no room>"
                                                    : std::string(actual, actual_end));
        }
    }

private:
    int failures_ = 0;
};

} // namespace

TEST(NumberText, MatchesToCharsOnMillionsOfValues)
{
    AgainstToChars compare;
    std::mt19937_64 random(20261208U);

    // Any bit pattern: every exponent, subnormals, infinities and NaNs.
    for (int i = 0; i < 1000000; ++i) {
        const std::uint64_t bits = random();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        compare.check(value);
    }
    // The range this run writes, and some way beyond it, both signs.
    std::uniform_real_distribution<double> levels(-1000.0, 1000.0);
    for (int i = 0; i < 1000000; ++i) {
        compare.check(levels(random));
    }
    // Exact binary fractions i / 2^j: j = 7 gives true ties at the sixth decimal, the other
    // j values near-ties on either side.
    for (int j = 0; j <= 40; ++j) {
        for (int i = 0; i < 20000; ++i) {
            const double value = std::ldexp(static_cast<double>(random() >> 40), -j);
            compare.check(value);
            compare.check(-value);
        }
    }
    // Written halfway points n / 10^6 + 5 * 10^-7 and their neighbours.
    for (int i = 0; i < 200000; ++i) {
        const double tie = static_cast<double>(random() % 100000000000ULL) / 1e6 + 5e-7;
        double value = tie;
        for (int step = 0; step < 3; ++step) {
            compare.check(value);
            value = std::nextafter(value, 0.0);
        }
        compare.check(std::nextafter(tie, 1e300));
    }
    // Around the powers of ten, where a round-up adds a digit, and around the fast path's
    // limit 2^43 and the smallest values that still round to 0.000001.
    const double edges[] = {0.0, 8796093022208.0, 5e-7, 1.5e-6};
    for (int k = -7; k <= 22; ++k) {
        const double power = std::pow(10.0, k);
        for (const double centre : {power, power - 5e-7}) {
            double below = centre;
            double above = centre;
            for (int step = 0; step < 200; ++step) {
                compare.check(below);
                compare.check(-above);
                below = std::nextafter(below, 0.0);
                above = std::nextafter(above, 1e308);
            }
        }
    }
    for (const double centre : edges) {
        double below = centre;
        double above = centre;
        for (int step = 0; step < 1000; ++step) {
            compare.check(below);
            compare.check(above);
            below = std::nextafter(below, -1.0);
            above = std::nextafter(above, 1e308);
        }
    }
}
