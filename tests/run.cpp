#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace aet {

RunResult run(const std::vector<std::string> &argv, const RunOptions &opt) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0)
        std::abort();
    std::signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in_pipe[0], 0);
        if (opt.stdout_path.empty()) {
            dup2(out_pipe[1], 1);
        } else {
            int fd = open(opt.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        }
        dup2(err_pipe[1], 2);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    RunResult r;
    size_t fed = 0;
    int in_fd = in_pipe[1], out_fd = out_pipe[0], err_fd = err_pipe[0];
    if (opt.input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    size_t out_total = 0;
    char buf[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            int fd = fds[i].fd;
            if (fd == in_fd) {
                ssize_t w = write(fd, opt.input.data() + fed, opt.input.size() - fed);
                if (w > 0) fed += static_cast<size_t>(w);
                if (w < 0 || fed == opt.input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            ssize_t got = read(fd, buf, sizeof buf);
            if (got <= 0) {
                close(fd);
                (fd == out_fd ? out_fd : err_fd) = -1;
                continue;
            }
            if (fd == out_fd) {
                out_total += static_cast<size_t>(got);
                if (opt.stop_reading_after == 0) {
                    r.out.append(buf, static_cast<size_t>(got));
                } else if (out_total >= opt.stop_reading_after) {
                    close(out_fd);
                    out_fd = -1;
                }
            } else {
                r.err.append(buf, static_cast<size_t>(got));
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
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
