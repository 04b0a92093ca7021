// Line reading through the socket line reader: overview-like lines of a
// given length streamed over a local socket pair by a writer thread.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "lib/sockbuf.h"

static void BM_SockBufReadLine(benchmark::State &state) {
    const int lineLength = (int)state.range(0);
    const int linesPerRound = 20000;
    std::string line(lineLength - 2, 'x');
    line += "\r\n";
    std::string block;
    for (int i = 0; i < 64; i++) block += line;
    char out[10240];
    long lines = 0;
    for (auto _ : state) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            state.SkipWithError("socketpair");
            break;
        }
        std::thread writer([&] {
            for (int sent = 0; sent < linesPerRound; sent += 64) {
                size_t off = 0;
                while (off < block.size()) {
                    ssize_t n = write(fds[1], block.data() + off, block.size() - off);
                    if (n <= 0) return;
                    off += (size_t)n;
                }
            }
            close(fds[1]);
        });
        tSockBuf sb;
        SockBufInit(&sb, fds[0]);
        while (SockBufReadLine(&sb, out, sizeof out, 30, -1) > 0) lines++;
        writer.join();
        close(fds[0]);
    }
    state.SetItemsProcessed(lines);
    state.SetBytesProcessed(lines * lineLength);
}
BENCHMARK(BM_SockBufReadLine)->Arg(80)->Arg(512)->Arg(4000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
