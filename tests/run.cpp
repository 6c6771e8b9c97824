// Runs a built program as a user would: real argv, real pipes, real files.
#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace aet {

RunResult run(const std::vector<std::string> &argv, const RunOptions &opt) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        std::abort();
    std::signal(SIGPIPE, SIG_IGN); // a child that stops reading must not end the test
    int screen = -1;
    if (opt.terminal_stderr) {
        screen = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(screen);
        unlockpt(screen);
    }
    // Spawned, not forked: the child's peak memory is its own, not a copy of the test's.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, in[0], 0);
    if (opt.terminal_stdout)
        posix_spawn_file_actions_addopen(&files, 1, ptsname(screen), O_RDWR | O_NOCTTY, 0);
    else if (opt.stdout_path.empty())
        posix_spawn_file_actions_adddup2(&files, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&files, 1, opt.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (screen >= 0)
        posix_spawn_file_actions_addopen(&files, 2, ptsname(screen), O_RDWR | O_NOCTTY, 0);
    else
        posix_spawn_file_actions_adddup2(&files, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t pipe_default;
    sigemptyset(&pipe_default);
    sigaddset(&pipe_default, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipe_default);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], &files, &attr, args.data(), environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // Feed standard input while reading standard output and error.
    RunResult r;
    int fds[3] = {opt.input.empty() ? -1 : in[1], out[0], screen >= 0 ? screen : err[0]};
    if (screen >= 0) close(err[0]);
    if (fds[0] < 0) close(in[1]);
    size_t fed = 0, out_total = 0;
    while (fds[1] >= 0 || fds[2] >= 0) {
        pollfd p[3] = {{fds[0], POLLOUT, 0}, {fds[1], POLLIN, 0}, {fds[2], POLLIN, 0}};
        if (poll(p, 3, -1) < 0) continue;
        char buf[65536];
        ssize_t n = 0;
        if (p[0].revents != 0) {
            size_t upto = fed < opt.pause_after ? opt.pause_after : opt.input.size();
            n = write(fds[0], opt.input.data() + fed, upto - fed);
            fed += n > 0 ? static_cast<size_t>(n) : 0;
            if (n > 0 && fed == opt.pause_after) usleep(1300 * 1000);
            if (n < 0 || fed == opt.input.size()) close(std::exchange(fds[0], -1));
        }
        for (int i : {1, 2}) {
            if (p[i].revents == 0 || (n = read(fds[i], buf, sizeof buf)) <= 0) {
                if (p[i].revents != 0) close(std::exchange(fds[i], -1));
                continue;
            }
            out_total += i == 1 ? static_cast<size_t>(n) : 0;
            if (i == 2 || opt.stop_reading_after == 0) (i == 1 ? r.out : r.err).append(buf, size_t(n));
            else if (out_total >= opt.stop_reading_after) close(std::exchange(fds[1], -1));
        }
    }
    if (fds[0] >= 0) close(fds[0]);
    int ws = 0;
    rusage ru{};
    wait4(pid, &ws, 0, &ru);
    r.max_rss_kib = ru.ru_maxrss;
    if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
    if (WIFSIGNALED(ws)) r.signal = WTERMSIG(ws);
    return r;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/aettest.XXXXXX";
    path = mkdtemp(tmpl);
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

std::string TempDir::write(const std::string &name, const std::string &bytes) const {
    std::string p = path + "/" + name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace aet
