// Replays the proxy fuzzer's seeds and findings (fuzz/proxy/corpus,
// fuzz/proxy/regress) and every truncation of them through the in-memory
// exchanges: none may crash, overrun or fail without a reason.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/proxy/proxy_driver.h"
#include "tests/support/paths.h"

namespace {

std::vector<std::string> Inputs() {
    std::vector<std::string> inputs;
    for (const char *dir : {"fuzz/proxy/corpus", "fuzz/proxy/regress"}) {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(MgSource(dir), ec))
            if (e.is_regular_file()) inputs.push_back(ReadWholeFile(e.path().string()));
    }
    return inputs;
}

TEST(ProxyReplay, SeedsFindingsAndTruncationsEndCleanly) {
    std::vector<std::string> inputs = Inputs();
    ASSERT_FALSE(inputs.empty());
    int succeeded = 0;
    for (const std::string &input : inputs) {
        for (size_t len = 1; len <= input.size(); len++) {
            SockSetLastError(0);
            int rc = proxyfuzz::RunOne((const uint8_t *)input.data(), len);
            if (rc == 0) {
                succeeded++;
            } else {
                EXPECT_NE(SockLastError(), 0) << "input of " << len << " bytes";
            }
        }
    }
    // The well-formed seeds do get through.
    EXPECT_GT(succeeded, 0);
}

TEST(ProxyReplay, OverlongRepliesFailAsSyntaxErrors) {
    for (int kind : {5, 6}) {
        std::string input(1, (char)(0x80 | kind));
        input += kind == 5 ? "HTTP/1.0 200 " : "";
        input += std::string(100000, 'x');
        SockSetLastError(0);
        EXPECT_EQ(proxyfuzz::RunOne((const uint8_t *)input.data(), input.size()), -1);
        EXPECT_EQ(SockLastError(), EPROXY_INTERMEDIATE_SYNTAX);
    }
}

}  // namespace
