// The output files' room, end to end: every way a run can end, each leaving the earlier files
// and no temporary file, what a killed run left removed by the next, and what is synced
// before the files are put in place.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ensemble_program.h"
#include "program_harness.h"

namespace fs = std::filesystem;

#if defined(__has_feature)
#define ADDRESS_SANITIZER_BY_CLANG __has_feature(address_sanitizer)
#else
#define ADDRESS_SANITIZER_BY_CLANG 0
#endif

// Every way a run can end short leaves both earlier files and no temporary file: a missing
// folder, every catchable signal that would end it (the run waits in a script until both
// temporary files stand), a soft limit on CPU time (SIGXCPU), a reader that
// closes its pipe, a size limit that the per-seed file meets only when it is flushed at the end,
// exhausted memory, and a per-seed file that can't be put in place after the table was (which
// is then put back; the test holds the folder's lock meanwhile, so that however fast the run
// is, it can't put its files in place before a folder stands in the way). Signals ignored when
// the run starts stay ignored.
TEST_F(EnsembleProgram, EveryWayARunCanEndLeavesTheEarlierFiles)
{
    // Waits until both temporary files stand (or the run has ended), then gives the run's pid
    // to what follows. The run starts with every signal at its default, which a script's
    // background job is not.
    const auto start = [](const char *seeds) {
        return std::string("env --default-signal \"$E\" --seeds ") + seeds +
               " --output t.csv --per-seed p.csv > s.txt & pid=$!; "
               "while [ $(ls | grep -c '\\.tmp$') -lt 2 ] && kill -0 $pid; do sleep 0.01; done; ";
    };
    struct ending {
        const char *way;
        std::string script;
        int status;         // exit status, or 128 + the signal that ended the run
        const char *errors; // all of stderr
    };
    std::vector<ending> endings = {
        {"a missing folder", "\"$E\" --seeds 20 --output t.csv --per-seed missing/p.csv", 1,
         "agreement_ensemble: cannot open missing/p.csv for writing: No such file or directory\n"},
        // The hard limit would send SIGKILL.
        {"a soft limit on CPU time",
         "{ ulimit -S -t 1; env --default-signal \"$E\" --seeds 100000000 --output t.csv "
         "--per-seed p.csv > s.txt; } 2> shell.txt",
         128 + SIGXCPU, ""},
        {"a closed pipe",
         "{ \"$E\" --seeds 300 --output t.csv --per-seed -; echo $? > status; } "
         "| head -c 100 > head.txt; exit $(cat status)",
         128 + SIGPIPE, ""},
        // 60 blocks of 512 bytes take the table (12 KB) but not the 54 KB of ten seeds' rows.
        {"a size limit", "ulimit -f 60; \"$E\" --seeds 10 --output t.csv --per-seed p.csv", 1,
         "agreement_ensemble: cannot write p.csv: File too large\n"},
        {"a folder where the per-seed file goes",
         "exec 9< .; flock 9; " + start("20") +
             "rm p.csv; mkdir -p p.csv/in; flock -u 9; wait $pid",
         1, "agreement_ensemble: cannot replace p.csv: Is a directory\n"},
// The sanitizers' shadow memory and an emulator's code buffer can't live under a small
// ulimit -v.
#if !defined(__SANITIZE_ADDRESS__) && !ADDRESS_SANITIZER_BY_CLANG &&                               \
    !defined(AGREEMENT_SWEEP_EMULATED)
        // 1,001 couplings' histograms alone take 64 MB.
        {"exhausted memory",
         "ulimit -v 60000; \"$E\" --seeds 20 --coupling 0:1:0.001 --output t.csv --per-seed p.csv",
         1, "agreement_ensemble: stopped: out of memory\n"},
#endif
    };
    for (const int number : {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                             SIGPROF, SIGXCPU}) {
        endings.push_back({strsignal(number),
                           start("100000000") + "kill -" + std::to_string(number) +
                               " $pid; wait $pid 2> shell.txt",
                           128 + number, ""});
    }
    for (const ending &end : endings) {
        std::ofstream(folder_ / "t.csv") << "earlier table\n";
        std::ofstream(folder_ / "p.csv") << "earlier rows\n";
        EXPECT_EQ(script(end.script), end.status) << end.way;
#if defined(AGREEMENT_SWEEP_EMULATED)
        // The emulator says on the program's stderr that a signal which dumps core (QUIT,
        // XCPU) ended it; the program itself says nothing.
        std::string own;
        for (const std::string &line : split(errors_, '\n')) {
            own += line.rfind("qemu: ", 0) == 0 ? "" : line + "\n";
        }
        errors_ = own;
#endif
        EXPECT_EQ(errors_, end.errors) << end.way;
        EXPECT_EQ(text("t.csv"), "earlier table\n") << end.way;
        if (fs::is_regular_file(folder_ / "p.csv")) {
            EXPECT_EQ(text("p.csv"), "earlier rows\n") << end.way;
        }
        EXPECT_TRUE(temporaries().empty()) << end.way;
        fs::remove_all(folder_ / "p.csv");
    }

    // Ignored at the start (nohup, or a script's background job for SIGINT): the run goes on.
    // The signals come while the run, its files written, waits for the folder's lock, which
    // the test holds until then (the kernel lists the run as waiting for it).
    EXPECT_EQ(script("trap '' HUP INT; exec 9< .; flock 9; \"$E\" --seeds 20 --output t.csv > "
                     "s.txt & pid=$!; until grep -Eq \"^[0-9]+: -> FLOCK .* $pid \" /proc/locks "
                     "|| ! kill -0 $pid; do sleep 0.01; done; kill -HUP $pid; kill -INT $pid; "
                     "flock -u 9; wait $pid"),
              0)
        << errors_;
    EXPECT_EQ(split(text("t.csv"), '\n').size(), 129U);
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(errors_, "") << "no progress line when stderr isn't a terminal";
}

// ---- Every ending tells the truth ----

namespace {

// A process number that is free: a child that has ended and been waited for.
long ended_process()
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return static_cast<long>(child);
}

} // namespace

// Started with stderr closed, neither program writes a message into its data: the first file
// each opens would otherwise take descriptor 2.
TEST_F(EnsembleProgram, ClosedStandardStreamsTakeNoData)
{
    const std::string left = "p.csv." + std::to_string(ended_process()) + ".tmp";
    std::ofstream(folder_ / left) << "left behind\n";
    // The ensemble says that it removed the per-seed file's left temporary file while the
    // table's is open; the one-shot run reports a pass file it can't open.
    EXPECT_EQ(script("\"$E\" --seeds 3 --output t.csv --per-seed p.csv 2>&- > s.txt; echo $? > "
                     "e.txt; mkdir -p data/1/sign_64; '" AGREEMENT_SWEEP_EXE "' 2>&-; exit $?"),
              1);
    EXPECT_EQ(text("e.txt"), "0\n");
    EXPECT_EQ(text("t.csv").rfind("coupling,q,", 0), 0U) << text("t.csv").substr(0, 80);
    EXPECT_EQ(text("p.csv").rfind("coupling,seed,", 0), 0U);
    EXPECT_FALSE(fs::exists(folder_ / left));
    EXPECT_EQ(text("data/tov.dat").find("agreement_sweep"), std::string::npos);
    EXPECT_EQ(split(text("data/tov.dat"), '\n').size(), 63U) << "the passes before sign_64";
}

// What a SIGKILL or a power loss leaves, the next run writing beside it removes, one line per
// file: only regular files of its outputs' own naming whose process is gone. It tells a pair
// that a killed run left mixed (one file put in place, the other not) from one it left whole.
TEST_F(EnsembleProgram, TheNextRunRemovesWhatAKilledRunLeft)
{
    const std::string dead = std::to_string(ended_process());
    const std::string live = std::to_string(getpid());
    const std::string long_name(250, 'n');
    struct leftover {
        std::string name;
        bool removed;
    };
    const leftover leftovers[] = {
        {"t.csv." + dead + ".tmp", true},
        {"p.csv." + dead + "-3.tmp", true}, // a second attempt's name
        {long_name.substr(0, 255 - dead.size() - 5) + "." + dead + ".tmp", true}, // cut short
        {"t.csv." + live + ".tmp", false},              // a running process's
        {"other.csv." + dead + ".tmp", false},          // another output's
        {"t.csv.backup.tmp", false},                    // no process number
        {"t.csv." + dead + ".tmp.keep", false},         // not a temporary file's ending
        {"t.csv.x" + dead + ".tmp", false},             // not this output's name
        {"t.csv." + dead + "." + live + ".tmp", false}, // output t.csv.<n>'s, and running
    };
    for (const leftover &file : leftovers) {
        std::ofstream(folder_ / file.name) << "left\n";
    }
    fs::create_symlink("t.csv", folder_ / ("p.csv." + dead + ".1.tmp"));
    EXPECT_EQ(ensemble("--seeds 3 --output t.csv --per-seed p.csv"), 0) << errors_;
    EXPECT_EQ(errors_, "agreement_ensemble: removed t.csv." + dead +
                           ".tmp, a temporary file left by process " + dead +
                           ", which ended without removing it\n"
                           "agreement_ensemble: removed p.csv." +
                           dead + "-3.tmp, a temporary file left by process " + dead +
                           ", which ended without removing it\n");
    EXPECT_EQ(ensemble("--seeds 3 --output " + long_name), 0);
    EXPECT_NE(errors_.find("a temporary file left by process " + dead), std::string::npos);
    for (const leftover &file : leftovers) {
        EXPECT_EQ(fs::exists(folder_ / file.name), !file.removed) << file.name;
    }
    EXPECT_TRUE(fs::is_symlink(folder_ / ("p.csv." + dead + ".1.tmp"))) << "a link is not ours";
    // An output of the run itself that looks like a leftover is not one.
    std::ofstream(folder_ / ("t.csv." + dead + ".tmp")) << "earlier rows\n";
    EXPECT_EQ(script("\"$E\" --seeds 100000000 --output t.csv --per-seed t.csv." + dead +
                     ".tmp > s.txt & pid=$!; until [ -e t.csv." + dead +
                     ".tmp.$pid.tmp ] || ! kill -0 $pid; do sleep 0.01; done; kill -TERM $pid; "
                     "wait $pid"),
              128 + SIGTERM);
    EXPECT_EQ(text("t.csv." + dead + ".tmp"), "earlier rows\n");

    // A run stamps both new files with one time before it puts them in place. Times 1 and 2:
    // killed between the renames, the new table stands with the time of the per-seed file's
    // temporary one; killed before them, or while another run put its own pair in place, no
    // output stands with the time of the other's temporary file.
    struct ending {
        const char *when;
        int table, rows, table_left, rows_left; // hours before now of each file's time
        bool mixed;
    };
    const ending endings[] = {
        {"between the renames", 1, 2, 2, 1, true},
        {"before the renames", 2, 2, 1, 1, false},
        {"still writing, another run's pair in place", 1, 1, 3, 0, false},
    };
    for (const ending &end : endings) {
        const std::string killed = std::to_string(ended_process());
        const std::pair<std::string, int> files[] = {{"t.csv", end.table},
                                                     {"p.csv", end.rows},
                                                     {"t.csv." + killed + ".tmp", end.table_left},
                                                     {"p.csv." + killed + ".tmp", end.rows_left}};
        const auto now = fs::file_time_type::clock::now();
        for (const auto &file : files) {
            std::ofstream(folder_ / file.first) << "some text\n";
            fs::last_write_time(folder_ / file.first, now - std::chrono::hours(file.second));
        }
        EXPECT_EQ(ensemble("--seeds 3 --output t.csv --per-seed p.csv"), 0);
        EXPECT_EQ(errors_.find("agreement_ensemble: t.csv and p.csv are not one run's pair: "
                               "process " +
                               killed + " was killed between putting them in place\n") !=
                      std::string::npos,
                  end.mixed)
            << end.when << ": " << errors_;
    }
}

// What a run syncs, in order: both temporary files before the first rename, and the folder
// after the last; a signal that comes between the renames waits until the program exits, so
// the status is 0 with the new pair in place. strace widens the gap between the renames, and
// the one between the two files' last writes.
TEST_F(EnsembleProgram, DurableAndTruthfulAtTheCommit)
{
#if defined(AGREEMENT_SWEEP_EMULATED)
    GTEST_SKIP() << "strace can't follow the system calls of a program under an emulator";
#elif defined(__SANITIZE_ADDRESS__) || ADDRESS_SANITIZER_BY_CLANG
    GTEST_SKIP() << "the leak check at exit traces the program's threads itself, which it "
                    "can't while strace does";
#endif
    if (std::system("strace -o strace.txt true 2> /dev/null") != 0) {
        GTEST_SKIP() << "strace (Debian strace) is needed to watch the system calls";
    }
    std::ofstream(folder_ / "t.csv") << "earlier table\n";
    std::ofstream(folder_ / "p.csv") << "earlier rows\n";
    EXPECT_EQ(
        script(
            "strace -f -o calls.txt -e trace=fsync,fdatasync,rename,renameat,renameat2 "
            "-e inject=renameat2:delay_exit=500000:when=1 "
            "-e inject=fsync:delay_exit=200000:when=1 \"$E\" --seeds 3 --output "
            "t.csv --per-seed p.csv > s.txt & tracer=$!; "
            "until head -n 1 t.csv | grep -q coupling || ! kill -0 $tracer; do sleep "
            "0.01; done; kill -TERM $(sed -n 's/^\\([0-9]*\\) *renameat2.*/\\1/p' calls.txt | head -n 1) "
            "|| exit 7; wait $tracer"),
        0)
        << errors_;
    EXPECT_EQ(text("t.csv").rfind("coupling,q,", 0), 0U);
    EXPECT_EQ(text("p.csv").rfind("coupling,seed,", 0), 0U);
    std::string order;
    for (const std::string &line : split(text("calls.txt"), '\n')) {
        order += line.find(" fsync(") != std::string::npos       ? "s"
                 : line.find(" renameat2(") != std::string::npos ? "r"
                                                                 : "";
    }
    EXPECT_EQ(order, "ssrrs") << text("calls.txt");
    // The table, written after the per-seed file's sync, still carries the per-seed file's
    // time: a run's two files carry one, by which a later run tells a pair left mixed.
    EXPECT_EQ(fs::last_write_time(folder_ / "t.csv"), fs::last_write_time(folder_ / "p.csv"));
}
