// A TCP client for tests that talk to a line-oriented server (NNTP, HTTP)
// on the loopback interface: send text, read lines with a bounded wait.
#pragma once

#include <string>
#include <vector>

struct tLineClient {
    int fd = -1;
    int localPort = 0;    // the client's own port once connected
    std::string pending;  // received, not yet returned

    // Connects to 127.0.0.1:port from the loopback address from (any
    // address of 127/8). A failure is recorded as a test failure.
    explicit tLineClient(int port, const char *from = "127.0.0.1");
    ~tLineClient() { Close(); }
    tLineClient(const tLineClient &) = delete;
    tLineClient &operator=(const tLineClient &) = delete;

    void Close();
    void Send(const std::string &text);
    // The next line with its line end; "" at end of stream or after waitMs.
    std::string Line(int waitMs = 30000);
    // Lines up to and including ".\r\n".
    std::vector<std::string> Listing();
    // Every line until the end of stream (or a 30-second silence).
    std::string Rest();
    // True when the server closes the connection without sending more.
    bool AtEnd() { return Line().empty(); }
};
