#include "tests/support/proxies.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool Executable(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

std::string FindProgram(const std::string &name) {
    for (const char *dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/", "/sbin/", "/bin/"}) {
        std::string p = std::string(dir) + name;
        if (Executable(p)) return p;
    }
    return "";
}

}  // namespace

int FreeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, (struct sockaddr *)&a, sizeof a) == 0 && getsockname(s, (struct sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool WaitForListener(int port, int seconds) {
    for (int i = 0; i < seconds * 20; i++) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        bool ok = s >= 0 && connect(s, (struct sockaddr *)&a, sizeof a) == 0;
        if (s >= 0) close(s);
        if (ok) return true;
        SleepMs(50);
    }
    return false;
}

bool tRealProxy::Launch(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::string log = dir / "output";
    pid = fork();
    if (pid < 0) {
        error = "fork failed";
        return false;
    }
    if (pid == 0) {
        setpgid(0, 0);
        FILE *out = freopen(log.c_str(), "w", stdout);
        (void)out;
        dup2(STDOUT_FILENO, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    // Listening, and still alive: not someone else who took the port first.
    if (!WaitForListener(port, 20) || waitpid(pid, nullptr, WNOHANG) != 0) {
        error = argv[0] + " did not start listening on port " + std::to_string(port) + ": " + ReadWholeFile(log);
        Stop();
        return false;
    }
    return true;
}

bool tRealProxy::StartWith(const std::function<std::vector<std::string>()> &configure) {
    // A free port may be taken by another test before the proxy binds it.
    for (int attempt = 0; attempt < 3; attempt++) {
        port = FreeLoopbackPort();
        if (Launch(configure())) return true;
    }
    return false;
}

void tRealProxy::Stop() {
    if (pid <= 0) return;
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            kill(-pid, SIGKILL);  // children left in the group
            pid = -1;
            return;
        }
        SleepMs(50);
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

bool tRealProxy::StartDante() {
    std::string program = FindProgram("danted");
    if (program.empty()) {
        error = "danted is not installed";
        return false;
    }
    return StartWith([&] {
        std::string conf = dir / "danted.conf";
        WriteWholeFile(conf, "logoutput: " + (dir / "danted.log") + "\n" +
                                 "internal: 127.0.0.1 port = " + std::to_string(port) + "\n" +
                                 "external: 127.0.0.1\n"
                                 "socksmethod: none\n"
                                 "clientmethod: none\n"
                                 "user.privileged: root\n"
                                 "user.unprivileged: nobody\n"
                                 "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                 "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n");
        return std::vector<std::string>{program, "-f", conf, "-p", dir / "danted.pid", "-N", "1"};
    });
}

bool tRealProxy::StartMicrosocks(const std::string &user, const std::string &password) {
    std::string program = FindProgram("microsocks");
    if (program.empty()) {
        error = "microsocks is not installed";
        return false;
    }
    return StartWith([&] {
        return std::vector<std::string>{program, "-i", "127.0.0.1", "-p", std::to_string(port), "-u", user,
                                        "-P", password};
    });
}

bool tRealProxy::StartTinyproxy(const std::vector<int> &connectPorts) {
    std::string program = FindProgram("tinyproxy");
    if (program.empty()) {
        error = "tinyproxy is not installed";
        return false;
    }
    return StartWith([&] {
        std::string conf = "Port " + std::to_string(port) + "\n" +
                           "Listen 127.0.0.1\n"
                           "Allow 127.0.0.1\n"
                           "Timeout 60\n"
                           "MaxClients 20\n"
                           "PidFile \"" + (dir / "tinyproxy.pid") + "\"\n" +
                           "LogFile \"" + (dir / "tinyproxy.log") + "\"\n";
        for (int p : connectPorts) conf += "ConnectPort " + std::to_string(p) + "\n";
        WriteWholeFile(dir / "tinyproxy.conf", conf);
        return std::vector<std::string>{program, "-d", "-c", dir / "tinyproxy.conf"};
    });
}
