// The output files' room, end to end: every kind of output path (plain files, links, names
// for an open descriptor, FIFOs, devices and sockets of the test's own), a folder that takes
// no file, and another run's commit.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ensemble_program.h"
#include "program_harness.h"

namespace fs = std::filesystem;

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
        // A folder's name is refused before any seed runs, and no temporary file goes
        // anywhere else (a name ending in '/' once put it in the file system's root).
        {"a folder", "mkdir adir; \"$E\" --seeds 3 --output adir", 2,
         "agreement_ensemble: --output 'adir' names a folder, not a file (see --help)\n", "t.csv",
         "earlier\n"},
        {"a link to a folder", "mkdir adir; ln -s adir alink; \"$E\" --seeds 3 --per-seed alink", 2,
         "--per-seed 'alink' names a folder, not a file", "t.csv", "earlier\n"},
        {"a name ending in a slash", "\"$E\" --seeds 3 --output t.csv --per-seed nothere/", 2,
         "--per-seed 'nothere/' names a folder, not a file", "t.csv", "earlier\n"},
        {"a name ending in /.", "\"$E\" --seeds 3 --output nothere/.", 2,
         "--output 'nothere/.' names a folder, not a file", "t.csv", "earlier\n"},
        {"a file's name with a slash after it", "\"$E\" --seeds 3 --output t.csv/", 2,
         "--output 't.csv/' names a folder, not a file", "t.csv", "earlier\n"},
        // Every descriptor the program opens itself closes on exec: /dev/fd/3 is the table's
        // own temporary file here, which the caller never gave it.
        {"a descriptor the program opened", "exec 3>&-; \"$E\" --seeds 3 --per-seed /dev/fd/3", 1,
         "agreement_ensemble: cannot open /dev/fd/3 for writing: Bad file descriptor\n", "t.csv",
         "earlier\n"},
        {"a descriptor open for reading", "\"$E\" --seeds 3 --output /dev/fd/0 < t.csv", 1,
         "agreement_ensemble: cannot open /dev/fd/0 for writing: the descriptor is open for "
         "reading only\n",
         "t.csv", "earlier\n"},
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

// A run that finds another run putting files in place in the same folder waits for it, so that
// two runs never commit into one folder at once: here the test holds the folder's lock,
// exclusive or shared, and the run, its files written, is listed by the kernel as waiting to
// take the lock exclusively (which waits for either; a shared one would pass a shared one),
// with the earlier table in place; it finishes once the test lets go.
TEST_F(EnsembleProgram, AnotherRunsCommitWaits)
{
    if (std::system("command -v flock > /dev/null") != 0 || !fs::exists("/proc/locks")) {
        GTEST_SKIP() << "flock (util-linux) and the kernel's /proc/locks are needed to hold the "
                        "folder's lock and see who waits for it";
    }
    for (const char *hold : {"flock 9", "flock -s 9"}) {
        std::ofstream(folder_ / "t.csv") << "earlier\n";
        // A waiter's line: "1: -> FLOCK  ADVISORY  WRITE <pid> <device>:<inode> 0 EOF".
        EXPECT_EQ(script(std::string("exec 9< .; ") + hold +
                         "; \"$E\" --seeds 3 --output t.csv > s.txt & pid=$!; "
                         "waiter() { grep -E \"^[0-9]+: -> FLOCK +ADVISORY +[A-Z]+ +$pid \" "
                         "/proc/locks; }; "
                         "until waiter > lock.txt || ! kill -0 $pid; do sleep 0.01; done; "
                         "set -- $(cat lock.txt); echo \"$5 $(head -n 1 t.csv)\" > waited.txt; "
                         "flock -u 9; wait $pid"),
                  0)
            << hold << ": " << errors_;
        EXPECT_EQ(text("waited.txt"), "WRITE earlier\n") << hold;
        EXPECT_EQ(text("t.csv").rfind("coupling,q,", 0), 0U) << hold;
        EXPECT_TRUE(temporaries().empty()) << hold;
    }
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
    // The summary goes out before the files are put in place: its failure keeps the earlier
    // table, so that status 1 never stands beside new files; on stderr too, where it goes
    // when stdout carries a file.
    EXPECT_EQ(text("ensemble.csv"), "earlier table\n");
    const std::string to_stderr = "cd '" + folder_.string() +
                                  "' && '" AGREEMENT_ENSEMBLE_EXE
                                  "' --seeds 2 --per-seed - > rows.txt 2> full";
    const int status = std::system(to_stderr.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(text("ensemble.csv"), "earlier table\n");
}

// In a working folder deeper than the longest path the system opens, outputs are still
// written, as the one-shot program's are: they are opened relative to the folder. A socket
// is refused with a message that says why.
TEST_F(EnsembleProgram, DeepFoldersAndSockets)
{
    // Folders of 250 characters down to 5,000 characters of path, and to 4,090, where the
    // folder's own path still fits the longest path but a file's name below it doesn't.
    const std::string level(250, 'd');
    for (const std::size_t depth : {std::size_t{5000}, std::size_t{4090}}) {
        const std::size_t below = depth - folder_.string().size();
        const std::string last(below % 251 == 0 ? 1 : below % 251 - 1, 'e');
        EXPECT_EQ(script("for i in $(seq " + std::to_string(below / 251) + "); do mkdir " + level +
                         " && cd -P " + level + " || exit 9; done; mkdir " + last + " && cd -P " +
                         last +
                         " || exit 9; \"$E\" --seeds 3 --output t.csv --per-seed p.csv > "
                         "s.txt; s=$?; { test -s t.csv && test -s p.csv && ! ls | grep -q tmp; } "
                         "|| s=8; cd '" +
                         folder_.string() + "' && rm -rf " + level + " " + last + "; exit $s"),
                  0)
            << depth << ": " << errors_;
    }

    const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const std::string path = (folder_ / "sock").string();
    if (listening < 0 || path.size() >= sizeof address.sun_path) {
        GTEST_SKIP() << "no room for a socket's name in the scratch folder's path";
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(ensemble("--seeds 3 --output sock"), 1);
    EXPECT_EQ(errors_, "agreement_ensemble: cannot open sock for writing: a socket is not opened "
                       "by its name; connect it to standard output and give '-'\n");
    close(listening);
}
