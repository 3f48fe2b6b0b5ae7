// The output files' room, end to end: every kind of output path, a folder that takes no file,
// devices of the test's own, and every way a run can end, each leaving the earlier files and
// no temporary file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ensemble_program.h"
#include "test_files.h"

namespace fs = std::filesystem;

#if defined(__has_feature)
#define ADDRESS_SANITIZER_BY_CLANG __has_feature(address_sanitizer)
#else
#define ADDRESS_SANITIZER_BY_CLANG 0
#endif

// Every way a run can end short leaves both earlier files and no temporary file: a missing
// folder, signals (the run waits in a script until both temporary files stand), a reader that
// closes its pipe, a size limit that the per-seed file meets only when it is flushed at the end,
// exhausted memory, and a per-seed file that can't be put in place after the table was (which
// is then put back). Signals ignored when the run starts stay ignored.
TEST_F(EnsembleProgram, EveryWayARunCanEndLeavesTheEarlierFiles)
{
    // Waits until both temporary files stand, then gives the run's pid to what follows. The
    // run starts with every signal at its default, which a script's background job is not.
    const auto start = [](const char *seeds) {
        return std::string("env --default-signal \"$E\" --seeds ") + seeds +
               " --output t.csv --per-seed p.csv > s.txt & pid=$!; i=0; "
               "while [ $(ls | grep -c '\\.tmp$') -lt 2 ] && [ $i -lt 500 ]; do sleep 0.01; "
               "i=$((i + 1)); done; ";
    };
    struct ending {
        const char *way;
        std::string script;
        int status;         // exit status, or 128 + the signal that ended the run
        const char *errors; // all of stderr
    };
    const ending endings[] = {
        {"a missing folder", "\"$E\" --seeds 20 --output t.csv --per-seed missing/p.csv", 1,
         "agreement_ensemble: cannot open missing/p.csv for writing: No such file or directory\n"},
        {"SIGINT", start("100000000") + "kill -INT $pid; wait $pid 2> shell.txt", 128 + SIGINT, ""},
        {"SIGHUP", start("100000000") + "kill -HUP $pid; wait $pid 2> shell.txt", 128 + SIGHUP, ""},
        {"SIGTERM", start("100000000") + "kill -TERM $pid; wait $pid 2> shell.txt", 128 + SIGTERM,
         ""},
        {"a closed pipe",
         "{ \"$E\" --seeds 300 --output t.csv --per-seed -; echo $? > status; } "
         "| head -c 100 > head.txt; exit $(cat status)",
         128 + SIGPIPE, ""},
        // 60 blocks of 512 bytes take the table (12 KB) but not the 54 KB of ten seeds' rows.
        {"a size limit", "ulimit -f 60; \"$E\" --seeds 10 --output t.csv --per-seed p.csv", 1,
         "agreement_ensemble: cannot write p.csv: File too large\n"},
        {"a folder where the per-seed file goes",
         start("500") + "kill -STOP $pid; rm p.csv; mkdir -p p.csv/in; kill -CONT $pid; wait $pid",
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
    for (const ending &end : endings) {
        std::ofstream(folder_ / "t.csv") << "earlier table\n";
        std::ofstream(folder_ / "p.csv") << "earlier rows\n";
        EXPECT_EQ(script(end.script), end.status) << end.way;
        EXPECT_EQ(errors_, end.errors) << end.way;
        EXPECT_EQ(text("t.csv"), "earlier table\n") << end.way;
        if (fs::is_regular_file(folder_ / "p.csv")) {
            EXPECT_EQ(text("p.csv"), "earlier rows\n") << end.way;
        }
        EXPECT_TRUE(temporaries().empty()) << end.way;
        fs::remove_all(folder_ / "p.csv");
    }

    // Ignored at the start (nohup, or a script's background job for SIGINT): the run goes on.
    EXPECT_EQ(script("trap '' HUP INT; \"$E\" --seeds 300 --output t.csv > s.txt & pid=$!; "
                     "i=0; while ! ls | grep -q '\\.tmp$' && [ $i -lt 500 ]; do sleep 0.01; "
                     "i=$((i + 1)); done; kill -HUP $pid; kill -INT $pid; wait $pid"),
              0)
        << errors_;
    EXPECT_EQ(split(text("t.csv"), '\n').size(), 129U);
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(errors_, "") << "no progress line when stderr isn't a terminal";
}

// ---- What stands at an output's path ----

// Whatever stands at an output's path stays what it is, and only the file a path names is
// replaced. Names for an open descriptor (made here as links to /proc/self/fd/1, as
// /dev/stdout is) and FIFOs are written straight through, appending where the shell appends;
// links stay links; a replaced file keeps its mode and owner, and its other hard links keep
// the earlier text.
TEST_F(EnsembleProgram, OutputsKeepWhatStandsAtTheirPath)
{
    ASSERT_EQ(ensemble("--seeds 3 --output plain.csv"), 0) << errors_;
    const std::string table = text("plain.csv");
    const std::string rows = "coupling,seed,q,r,rho,bound\n";
    const std::string long_name = std::string(246, 'n') + ".csv"; // 250: the folder takes 255
    struct kind {
        const char *what;
        std::string script;
        int status;
        std::string errors; // a part of stderr, or "" for none at all
        std::string file;   // a file to check afterwards, and what it must then hold
        std::string holds;
    };
    const kind kinds[] = {
        {"a descriptor name onto a file, appending",
         "ln -s /proc/self/fd/1 out; printf 'precious\\n' > log.txt; "
         "\"$E\" --seeds 3 --output out >> log.txt",
         0, "3 seeds (1 to 3)", "log.txt", "precious\n" + table},
        {"a descriptor name onto a pipe",
         "{ \"$E\" --seeds 3 --output /proc/self/fd/1; echo $? > status; } | cat > piped.txt; "
         "exit $(cat status)",
         0, "3 seeds (1 to 3)", "piped.txt", table},
        {"another descriptor, to a pipe",
         "{ \"$E\" --seeds 3 --output t.csv --per-seed /dev/fd/3 3>&1 > s.txt; echo $? > status; } "
         "| cat > piped.txt; head -c 28 piped.txt > rows.txt; exit $(cat status)",
         0, "", "rows.txt", rows},
        {"'-' and a descriptor name for the same",
         "\"$E\" --seeds 3 --output - --per-seed /proc/self/fd/1", 2,
         "--output and --per-seed name the same file '/proc/self/fd/1'", "t.csv", "earlier\n"},
        {"a FIFO",
         "mkfifo pipe; cat pipe > piped.txt & \"$E\" --seeds 3 --output pipe > s.txt; "
         "status=$?; wait; test -p pipe && exit $status",
         0, "", "piped.txt", table},
        {"links, one to a file not there yet",
         "mkdir sub; echo earlier > sub/real.csv; ln -s real.csv sub/link.csv; "
         "ln -s made.csv sub/dangling.csv; "
         "\"$E\" --seeds 3 --output sub/link.csv --per-seed sub/dangling.csv && "
         "test -L sub/link.csv && test -L sub/dangling.csv && "
         "test \"$(head -n 1 sub/made.csv)\" = coupling,seed,q,r,rho,bound",
         0, "", "sub/real.csv", table},
        {"a link and its file",
         "mkdir sub; ln -s ../t.csv sub/link.csv; "
         "\"$E\" --seeds 3 --output t.csv --per-seed sub/link.csv",
         2, "--output and --per-seed name the same file 'sub/link.csv'", "t.csv", "earlier\n"},
        {"a loop of links",
         "ln -s loop loop; \"$E\" --seeds 3 --output loop; s=$?; test -L loop && exit $s", 1,
         "cannot open loop for writing: Too many levels of symbolic links", "t.csv", "earlier\n"},
        {"a folder", "mkdir adir; \"$E\" --seeds 3 --output adir", 1,
         "cannot open adir for writing: Is a directory", "t.csv", "earlier\n"},
        {"a file's mode, owner and hard links",
         "chmod 640 t.csv; chown 65534:65534 t.csv 2> chown.txt; ls -ln t.csv | cut -d' ' -f1,3,4 "
         "> before.txt; ln t.csv other.csv; \"$E\" --seeds 3 --output t.csv && "
         "ls -ln t.csv | cut -d' ' -f1,3,4 | cmp -s - before.txt && test \"$(cat other.csv)\" = earlier",
         0, "", "t.csv", table},
        {"a name as long as the folder takes", "\"$E\" --seeds 3 --output " + long_name, 0, "",
         long_name, table},
    };
    for (const kind &output : kinds) {
        std::ofstream(folder_ / "t.csv") << "earlier\n";
        EXPECT_EQ(script(output.script), output.status) << output.what << ": " << errors_;
        if (output.errors.empty()) {
            EXPECT_EQ(errors_.find("agreement_ensemble: cannot"), std::string::npos) << output.what;
        } else {
            EXPECT_NE(errors_.find(output.errors), std::string::npos)
                << output.what << ": " << errors_;
        }
        EXPECT_EQ(text(output.file), output.holds) << output.what;
        EXPECT_TRUE(temporaries().empty()) << output.what;
        for (const fs::directory_entry &entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename() != "plain.csv") {
                fs::remove_all(entry.path());
            }
        }
    }
}

// A file in a folder that takes no new file can't be replaced whole, and the message says
// that it is the folder that refuses. Root writes anywhere, so the run then runs as nobody.
TEST_F(EnsembleProgram, AFolderThatTakesNoFileIsNamedAsTheProblem)
{
    const bool root = geteuid() == 0;
    if (root && std::system("command -v setpriv > /dev/null") != 0) {
        GTEST_SKIP() << "running as root without setpriv to drop to nobody";
    }
    fs::create_directory(folder_ / "ro");
    std::ofstream(folder_ / "ro" / "t.csv") << "earlier\n";
    fs::permissions(folder_ / "ro" / "t.csv", fs::perms(0666));
    fs::permissions(folder_ / "ro", fs::perms(0555));
    fs::permissions(folder_, fs::perms(0755));
    const std::string as = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    EXPECT_EQ(script(as + "\"$E\" --seeds 3 --output ro/t.csv"), 1);
    EXPECT_EQ(errors_, "agreement_ensemble: cannot replace ro/t.csv (its folder can't take the "
                       "new file): Permission denied\n");
    EXPECT_EQ(text("ro/t.csv"), "earlier\n");
    fs::permissions(folder_ / "ro", fs::perms(0755));
}

// A run that finds another run putting files in place in the same folder waits for it: here
// the test holds the folder's lock, and the run, which would take a few hundredths of a
// second, is still waiting a second later with the earlier table in place, then finishes.
TEST_F(EnsembleProgram, AnotherRunsCommitWaits)
{
    if (std::system("command -v flock > /dev/null") != 0) {
        GTEST_SKIP() << "flock (util-linux) is needed to hold the folder's lock";
    }
    std::ofstream(folder_ / "t.csv") << "earlier\n";
    EXPECT_EQ(script("exec 9< .; flock 9; \"$E\" --seeds 3 --output t.csv > s.txt & pid=$!; "
                     "sleep 1; kill -0 $pid && test \"$(cat t.csv)\" = earlier && echo waited > "
                     "waited.txt; flock -u 9; wait $pid"),
              0)
        << errors_;
    EXPECT_EQ(text("waited.txt"), "waited\n");
    EXPECT_EQ(text("t.csv").rfind("coupling,q,", 0), 0U);
    EXPECT_TRUE(temporaries().empty());
}

// Devices of the test's own: one that discards is written through, one that is full fails
// the write and stays a device.
TEST_F(EnsembleProgram, DevicesAreWrittenThrough)
{
    if (!make_full_device(folder_ / "full")) {
        GTEST_SKIP() << "making a device node needs root";
    }
    ASSERT_EQ(mknod((folder_ / "sink").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); // discards
    EXPECT_EQ(ensemble("--seeds 3 --per-seed sink"), 0) << errors_;
    EXPECT_TRUE(is_character_device(folder_ / "sink"));
    EXPECT_EQ(ensemble("--seeds 3 --output full"), 1);
    EXPECT_EQ(errors_, "agreement_ensemble: cannot write full: No space left on device\n");
    EXPECT_TRUE(is_character_device(folder_ / "full"));
    EXPECT_TRUE(temporaries().empty());
}

// Failures leave no table half-written and no temporary file: an output that is a folder, a
// per-seed file on a full device, and help or a summary to a full stdout, in both programs.
TEST_F(EnsembleProgram, FailuresLeaveNothingHalfWritten)
{
    std::ofstream(folder_ / "ensemble.csv") << "earlier table\n";
    if (!make_full_device(folder_ / "full")) {
        GTEST_SKIP() << "making a device node needs root";
    }
    EXPECT_EQ(ensemble("--seeds 300 --per-seed full"), 1);
    EXPECT_EQ(errors_, "agreement_ensemble: cannot write full: No space left on device\n");
    EXPECT_EQ(text("ensemble.csv"), "earlier table\n");
    EXPECT_TRUE(temporaries().empty());

    for (const std::string &program :
         {std::string(AGREEMENT_ENSEMBLE_EXE) + " --seeds 2",
          std::string(AGREEMENT_ENSEMBLE_EXE) + " --seeds 2 --output -",
          std::string(AGREEMENT_ENSEMBLE_EXE) + " --help",
          std::string(AGREEMENT_SWEEP_EXE) + " --help"}) {
        const std::string command =
            "cd '" + folder_.string() + "' && " + program + " > full 2> err.txt";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << program;
        EXPECT_NE(text("err.txt").find(": cannot write standard output: No space left on device\n"),
                  std::string::npos)
            << program << ": " << text("err.txt");
    }
    EXPECT_TRUE(is_character_device(folder_ / "full"));
    EXPECT_TRUE(temporaries().empty());
}
