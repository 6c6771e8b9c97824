// Runs a built program as a user would: real argv, real pipes, real files.
#include "run.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace aet {

Child start(const std::vector<std::string> &argv, const RunOptions &opt) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        std::abort();
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core); // children ended by fault signals leave no core files
    int screen = -1;
    if (opt.terminal_stderr) {
        screen = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(screen);
        unlockpt(screen);
    }
    // Until its exec the child runs in the test's memory and takes on its
    // high-water mark: reset that to what the test holds now, so that the
    // child's peak is its own.
    std::ofstream("/proc/self/clear_refs") << "5";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, in[0], 0);
    if (opt.terminal_stdout)
        posix_spawn_file_actions_addopen(&files, 1, ptsname(screen), O_RDWR | O_NOCTTY, 0);
    else if (opt.stdout_path == "-")
        posix_spawn_file_actions_addclose(&files, 1);
    else if (opt.stdout_path.empty())
        posix_spawn_file_actions_adddup2(&files, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&files, 1, opt.stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (screen >= 0)
        posix_spawn_file_actions_addopen(&files, 2, ptsname(screen), O_RDWR | O_NOCTTY, 0);
    else
        posix_spawn_file_actions_adddup2(&files, err[1], 2);
    if (opt.nonblocking_stdout) fcntl(out[1], F_SETFL, O_NONBLOCK);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    // The child starts with SIGPIPE at its default and opt.ignored ignored,
    // as dispositions pass through exec; the test ignores SIGPIPE, so that a
    // child that stops reading cannot end it.
    std::signal(SIGPIPE, SIG_DFL);
    for (int sig : opt.ignored)
        std::signal(sig, SIG_IGN);
    Child c;
    if (posix_spawnp(&c.pid, args[0], &files, nullptr, args.data(), environ) != 0) std::abort();
    for (int sig : opt.ignored)
        std::signal(sig, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
    posix_spawn_file_actions_destroy(&files);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    c.in = in[1];
    c.out = out[0];
    c.err = err[0];
    if (screen >= 0) {
        close(c.err);
        c.err = screen;
    }
    if (opt.input.empty()) close(std::exchange(c.in, -1));
    return c;
}

RunResult finish(Child &c, const RunOptions &opt, RunResult r) {
    size_t fed = 0, out_total = 0;
    if (opt.nonblocking_stdout) usleep(500 * 1000);
    while (c.out >= 0 || c.err >= 0) {
        pollfd p[3] = {{c.in, POLLOUT, 0}, {c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) continue;
        char buf[65536];
        ssize_t n = 0;
        if (p[0].revents != 0) {
            size_t upto = fed < opt.pause_after ? opt.pause_after : opt.input.size();
            n = write(c.in, opt.input.data() + fed, upto - fed);
            fed += n > 0 ? static_cast<size_t>(n) : 0;
            if (n > 0 && fed == opt.pause_after) usleep(1300 * 1000);
            if (n < 0 || fed == opt.input.size()) close(std::exchange(c.in, -1));
        }
        for (int *fd : {&c.out, &c.err}) {
            int i = fd == &c.out ? 1 : 2;
            if (p[i].revents == 0) continue;
            if ((n = read(*fd, buf, sizeof buf)) <= 0) {
                close(std::exchange(*fd, -1));
                continue;
            }
            out_total += i == 1 ? static_cast<size_t>(n) : 0;
            if (i == 2 || opt.stop_reading_after == 0)
                (i == 1 ? r.out : r.err).append(buf, size_t(n));
            else if (out_total >= opt.stop_reading_after)
                close(std::exchange(c.out, -1));
        }
    }
    if (c.in >= 0) close(std::exchange(c.in, -1));
    int ws = 0;
    rusage ru{};
    wait4(std::exchange(c.pid, -1), &ws, 0, &ru);
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
    std::filesystem::remove_all(path);
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
