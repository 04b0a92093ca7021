#include "tests/support/process.h"

#include "tests/support/paths.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

long MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000;
}

void SleepMs(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&ts, nullptr);
}

}  // namespace

tChild::~tChild() {
    CloseInput();
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool tChild::Start(const std::string &program, const std::vector<std::string> &args, const std::string &cwd,
                   const std::string &outFile, const std::string &errFile) {
    outPath = outFile;
    errPath = errFile;
    int in[2];
    if (pipe(in) != 0) return false;
    signal(SIGPIPE, SIG_IGN);
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(126);
        dup2(in[0], 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in[0]);
        close(in[1]);
        close(out);
        close(err);
        // The child starts with the default signal dispositions and mask,
        // whatever the test runner set.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
        ExecInChild(program, args, cwd);
    }
    close(in[0]);
    input = in[1];
    return true;
}

bool tChild::Write(const std::string &text) {
    if (input < 0) return false;
    return write(input, text.data(), text.size()) == (ssize_t)text.size();
}

void tChild::CloseInput() {
    if (input >= 0) close(input);
    input = -1;
}

bool tChild::Signal(int sig) { return pid > 0 && kill(pid, sig) == 0; }

int tChild::Wait(int timeoutSeconds) {
    if (pid <= 0) return -1;
    long deadline = MonotonicMs() + timeoutSeconds * 1000L;
    int status = 0;
    for (;;) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) break;
        if (got < 0 || MonotonicMs() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
            return -1;
        }
        SleepMs(20);
    }
    pid = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool WaitForFileText(const std::string &path, const std::string &text, int timeoutSeconds) {
    long deadline = MonotonicMs() + timeoutSeconds * 1000L;
    for (;;) {
        if (ReadWholeFile(path).find(text) != std::string::npos) return true;
        if (MonotonicMs() > deadline) return false;
        SleepMs(20);
    }
}
