// Test support: a program started in the background, to be signalled and
// awaited while it runs.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A running child process. Standard output and error go to files of a
// directory chosen by the test; standard input is a pipe that stays open
// until CloseInput, so a prompt waits. The destructor kills a child that is
// still running.
struct tChild {
    pid_t pid = -1;
    int input = -1;       // write end of the child's standard input
    std::string outPath;  // the child's standard output
    std::string errPath;  // the child's standard error

    tChild() = default;
    ~tChild();
    tChild(const tChild &) = delete;
    tChild &operator=(const tChild &) = delete;

    // Starts program with args in cwd; its output goes to outPath and
    // errPath. False when it cannot be started.
    bool Start(const std::string &program, const std::vector<std::string> &args, const std::string &cwd,
               const std::string &outPath, const std::string &errPath);

    // Writes text to its standard input.
    bool Write(const std::string &text);
    void CloseInput();

    // Sends a signal.
    bool Signal(int sig);

    // Waits at most timeoutSeconds for the end; returns the exit status,
    // 128+signal when killed by a signal, or -1 when it did not end (it is
    // then killed).
    int Wait(int timeoutSeconds = 60);
};

// Waits at most timeoutSeconds until the file at path contains text; true
// when it does.
bool WaitForFileText(const std::string &path, const std::string &text, int timeoutSeconds = 60);
