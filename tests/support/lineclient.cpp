#include "tests/support/lineclient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

tLineClient::tLineClient(int port, const char *from) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
    socklen_t length = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0) localPort = ntohs(a.sin_port);
}

void tLineClient::Close() {
    if (fd >= 0) close(fd);
    fd = -1;
}

void tLineClient::Send(const std::string &text) {
    ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

std::string tLineClient::Line(int waitMs) {
    for (;;) {
        size_t eol = pending.find('\n');
        if (eol != std::string::npos) {
            std::string line = pending.substr(0, eol + 1);
            pending.erase(0, eol + 1);
            return line;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, waitMs) <= 0) return "";
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return "";
        pending.append(buf, static_cast<size_t>(n));
    }
}

std::vector<std::string> tLineClient::Listing() {
    std::vector<std::string> lines;
    for (std::string l = Line(); !l.empty(); l = Line()) {
        lines.push_back(l);
        if (l == ".\r\n") break;
    }
    return lines;
}

std::string tLineClient::Rest() {
    std::string all;
    for (std::string l = Line(); !l.empty(); l = Line()) all += l;
    return all;
}
