// Connect requests whose trace lines are collected into a text, so that a
// test can check what the proxy exchange reported.
#pragma once

#include "lib/proxy.h"

#include <string>

struct tTraceText {
    std::string text;
};

// A trace function appending each formatted line to the tTraceText context.
void CollectTrace(void *context, const char *format, ...);

// A request for host:port with timeout seconds, no cancel socket, traced
// into trace.
tConnectRequest TracedRequest(const char *host, int port, int timeout, tTraceText *trace);
