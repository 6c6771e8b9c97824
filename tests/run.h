// Runs a built program as a user would: real argv, real pipes, real files.
#pragma once

#include <cstdlib>
#include <string>
#include <sys/types.h>
#include <vector>

namespace aet {

struct RunResult {
    int status = -1;      // exit status, or -1 when killed by a signal
    int signal = 0;       // the signal that ended it, if any
    std::string out;      // standard output (empty when redirected)
    std::string err;      // standard error, or the screen of its terminal
    long max_rss_kib = 0; // peak resident memory of the child
};

struct RunOptions {
    std::string input;               // written to standard input through a pipe
    size_t pause_after = 0;          // when set, feeding pauses 1.3 s after this many bytes
    std::string stdout_path;         // when set, standard output goes to this file ("-": closed)
    size_t stop_reading_after = 0;   // when set, close standard output after this many bytes
    bool terminal_stderr = false;    // standard error on a pseudo-terminal; err gets its screen
    bool terminal_stdout = false;    // standard output on that terminal too
    bool nonblocking_stdout = false; // standard output a non-blocking pipe, read from 0.5 s on
    std::vector<int> ignored;        // signals the program finds ignored at its start
};

// A started program and the test's ends of its standard streams.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

Child start(const std::vector<std::string> &argv, const RunOptions &opt = {});
// Feeds the input, reads both outputs to their end and reaps the program.
RunResult finish(Child &c, const RunOptions &opt = {}, RunResult r = {});
inline RunResult run(const std::vector<std::string> &argv, const RunOptions &opt = {}) {
    Child c = start(argv, opt);
    return finish(c, opt);
}

// A file in a fresh temporary directory, removed with the directory.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string write(const std::string &name, const std::string &bytes) const;
};

std::string read_file(const std::string &path);

} // namespace aet

// Skips a test whose tools or rights are missing; in CI that is a failure.
#define REQUIRE_OR_SKIP(have, what)                                                                \
    do {                                                                                           \
        if (!(have)) {                                                                             \
            if (std::getenv("CI")) FAIL() << what << " missing in CI";                             \
            GTEST_SKIP() << what << " missing";                                                    \
        }                                                                                          \
    } while (0)
