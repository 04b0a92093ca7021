#include "tests/support/paths.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

std::string MgProgram(const std::string &name) {
    for (const char *sub : {"", "/server", "/tools"}) {
        std::string p = std::string(MG_BINARY_DIR) + sub + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return std::string(MG_BINARY_DIR) + "/" + name;
}

std::string MgSource(const std::string &relative) { return std::string(MG_SOURCE_DIR) + "/" + relative; }

tTempDir::tTempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mgtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path = buf.data();
}

tTempDir::~tTempDir() {
    if (path.empty()) return;
    std::error_code ec;
    // Restore permissions a test may have removed, so everything can go.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path, ec);
}

tRunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                      const std::string &cwd, const std::string &input, int timeoutSeconds) {
    tRunResult r{-1, "", ""};
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return r;
    pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        ExecInChild(program, args, cwd);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsedMs = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        long leftMs = timeoutSeconds * 1000L - elapsedMs;
        if (leftMs <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        struct pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {out[0], POLLIN, 0};
        if (errOpen) fds[n++] = {err[0], POLLIN, 0};
        if (in[1] >= 0) fds[n++] = {in[1], POLLOUT, 0};
        int rc = poll(fds, n, (int)leftMs);
        if (rc < 0 && errno != EINTR) break;
        for (int i = 0; i < n; i++) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == in[1]) {
                ssize_t w = write(in[1], input.data() + written, input.size() - written);
                if (w > 0) written += (size_t)w;
                if (w < 0 || written == input.size()) {
                    close(in[1]);
                    in[1] = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                if (fds[i].fd == out[0]) outOpen = false;
                else errOpen = false;
            } else if (fds[i].fd == out[0]) {
                r.out.append(buf, (size_t)got);
            } else {
                r.err.append(buf, (size_t)got);
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) r.exitCode = (outOpen || errOpen) ? -1 : 128 + WTERMSIG(status);
    return r;
}

void ExecInChild(const std::string &program, const std::vector<std::string> &args, const std::string &cwd) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

std::string ReadWholeFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool WriteWholeFile(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    return (bool)f;
}

std::vector<std::string> ListTree(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = std::filesystem::relative(it->path(), dir).string();
        if (it->is_directory()) rel += "/";
        names.push_back(rel);
    }
    std::sort(names.begin(), names.end());
    return names;
}
