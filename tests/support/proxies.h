// Test support: real proxy servers on free loopback ports.
//
// Each tRealProxy starts one proxy program from the machine's packages in a
// private temporary directory, listening on 127.0.0.1 with a free port, and
// stops it (SIGTERM to its own process group, SIGKILL after a bounded wait)
// when it goes out of scope. Start* return false (with a reason in error)
// when the program is missing or never starts listening; tests then skip.
//
//   dante (danted)   SOCKS4 and SOCKS5 without login, to 127.0.0.0/8
//   microsocks       SOCKS5 with user name and password (RFC 1929)
//   tinyproxy        HTTP CONNECT to the listed destination ports only
//                    (others are refused with 403)
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/paths.h"

// A port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// True when something accepts TCP connections on 127.0.0.1:port within
// seconds.
bool WaitForListener(int port, int seconds);

struct tRealProxy {
    pid_t pid = -1;
    int port = 0;
    std::string error;
    tTempDir dir;

    tRealProxy() = default;
    ~tRealProxy() { Stop(); }
    tRealProxy(const tRealProxy &) = delete;
    tRealProxy &operator=(const tRealProxy &) = delete;

    bool StartDante();
    bool StartMicrosocks(const std::string &user, const std::string &password);
    bool StartTinyproxy(const std::vector<int> &connectPorts);
    void Stop();

private:
    bool Launch(const std::vector<std::string> &argv);
    bool StartWith(const std::function<std::vector<std::string>()> &configure);
};
