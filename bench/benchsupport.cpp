#include "bench/benchsupport.h"

#include "lib/log.h"
#include "lib/sock.h"
#include "lib/tasks.h"
#include "server/upstream/pool.h"
#include "server/upstream/servers.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::string InnScript() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../tests/support/innserver.py";
}

std::thread schedulerLoop;

}  // namespace

bool RunCommand(const std::string &command, std::string *out) {
    FILE *p = popen(command.c_str(), "r");
    if (!p) return false;
    char line[512];
    while (fgets(line, sizeof line, p))
        if (out) *out += line;
    return pclose(p) == 0;
}

int StartInn(const std::string &dir, const std::string &options) {
    std::string out;
    if (!RunCommand("python3 " + InnScript() + " start '" + dir + "' " + options + " 2>/dev/null", &out)) return 0;
    size_t at = out.find("PORT ");
    int port = 0;
    if (at == std::string::npos || sscanf(out.c_str() + at, "PORT %d", &port) != 1) return 0;
    return port;
}

bool FeedInn(const std::string &dir, const std::string &file, std::string *out) {
    return RunCommand("python3 " + InnScript() + " feed '" + dir + "' '" + file + "'", out);
}

bool StopInn(const std::string &dir) {
    if (RunCommand("python3 " + InnScript() + " stop '" + dir + "' >/dev/null 2>&1")) return true;
    fprintf(stderr, "could not stop INN\n");
    return false;
}

std::string ServerSection(int port, const std::string &extra) {
    return "[server]\nurl=127.0.0.1:" + std::to_string(port) + "\n" + extra;
}

bool StartServers(const std::string &servers) {
    FILE *f = fopen("servers.ini", "w");
    if (!f) return false;
    std::string ini = "[proxies]\nurl=none\n\n" + servers;
    bool written = fputs(ini.c_str(), f) >= 0;
    if (fclose(f) != 0 || !written) return false;
    allServers.resultsPath = nullptr;
    bool ready = LogOpen(&journal, "journal", 1 << 30) == E_OK && CancelSocketCreate() == 0 && TasksInit() == E_OK &&
                 ServersLoadDynamic(&allServers, &journal, "servdyna.ini") == E_OK &&
                 LoadServers(&allServers, &journal, 0, 0, 0, nullptr, nullptr, &taskScheduler, "servers.ini") ==
                     E_OK &&
                 BindServers(&allServers) == E_OK;
    if (ready) schedulerLoop = std::thread([] { SchedulerRun(&taskScheduler); });
    return ready;
}

void StopServers() {
    if (!schedulerLoop.joinable()) return;
    PoolRelease(&allServers);
    SchedulerStop(&taskScheduler);
    schedulerLoop.join();
    PoolWaitAll(&taskPool);
    ServersRelease(&allServers);
    TasksRelease();
    LogClose(&journal);
}

tPlainClient::tPlainClient(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s >= 0 && connect(s, (sockaddr *)&a, sizeof a) == 0) fd = s;
    else if (s >= 0) close(s);
}

tPlainClient::~tPlainClient() {
    if (fd >= 0) close(fd);
}

bool tPlainClient::Receive(std::string *into) {
    ssize_t n = recv(fd, buffer_, sizeof buffer_, 0);
    if (n <= 0) return false;
    into->append(buffer_, (size_t)n);
    return true;
}

bool tPlainClient::SkipLine() {
    size_t nl;
    while ((nl = pending.find('\n')) == std::string::npos)
        if (!Receive(&pending)) return false;
    pending.erase(0, nl + 1);
    return true;
}

bool tPlainClient::Send(const std::string &text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) > 0;
}
