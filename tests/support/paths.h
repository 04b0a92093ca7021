// Test support: where the built programs are, and temporary directories that
// remove themselves.
#pragma once

#include <string>
#include <vector>

// Absolute path of a program built by this tree ("mergator", "mgcrcs", ...).
std::string MgProgram(const std::string &name);

// Absolute path below the source tree.
std::string MgSource(const std::string &relative);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes out of scope.
struct tTempDir {
    std::string path;
    tTempDir();
    ~tTempDir();
    tTempDir(const tTempDir &) = delete;
    tTempDir &operator=(const tTempDir &) = delete;
    // path + "/" + relative
    std::string operator/(const std::string &relative) const { return path + "/" + relative; }
};

// Result of running a program to its end.
struct tRunResult {
    int exitCode;        // exit status, or 128+signal when killed
    std::string out;     // standard output
    std::string err;     // standard error
};

// Runs argv[0] with the given arguments in directory cwd, feeding input on
// standard input, and waits at most timeoutSeconds (then kills it and reports
// exit code -1).
tRunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                      const std::string &cwd = "", const std::string &input = "",
                      int timeoutSeconds = 60);

// In a child just forked: enters cwd (unless empty) and runs program with
// args. Never returns: exits with 126 when cwd cannot be entered, 127 when
// program cannot be run.
[[noreturn]] void ExecInChild(const std::string &program, const std::vector<std::string> &args,
                              const std::string &cwd);

// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string &path);

// Writes a whole file; false on failure.
bool WriteWholeFile(const std::string &path, const std::string &content);

// Every path below dir, relative to it, sorted; directories end with "/".
std::vector<std::string> ListTree(const std::string &dir);
