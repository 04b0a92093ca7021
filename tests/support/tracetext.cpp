#include "tests/support/tracetext.h"

#include <cstdarg>
#include <cstdio>

void CollectTrace(void *context, const char *format, ...) {
    char buf[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    static_cast<tTraceText *>(context)->text += buf;
}

tConnectRequest TracedRequest(const char *host, int port, int timeout, tTraceText *trace) {
    tConnectRequest r = {};
    r.host = host;
    r.port = port;
    r.timeout = timeout;
    r.cancelSocket = -1;
    r.trace = CollectTrace;
    r.traceContext = trace;
    return r;
}
