#include "tests/support/inn.h"

#include <cstdlib>

namespace {

const std::string &Script() {
    static const std::string script = MgSource("tests/support/innserver.py");
    return script;
}

}  // namespace

bool tInn::Start(const std::vector<std::string> &options, int seconds) {
    std::vector<std::string> args = {Script(), "start", dir / "inn"};
    args.insert(args.end(), options.begin(), options.end());
    tRunResult r = RunProgram("/usr/bin/python3", args, "", "", seconds);
    size_t at = r.out.find("PORT ");
    if (r.exitCode != 0 || at == std::string::npos) {
        failure = "INN does not start here (exit " + std::to_string(r.exitCode) + "): " + r.err;
        return false;
    }
    port = atoi(r.out.c_str() + at + 5);
    return true;
}

bool tInn::Feed(const std::string &articles, int count, int seconds) {
    std::string file = dir / "articles";
    WriteWholeFile(file, articles);
    tRunResult r = RunProgram("/usr/bin/python3", {Script(), "feed", dir / "inn", file}, "", "", seconds);
    if (r.out.find("ACCEPTED " + std::to_string(count)) != std::string::npos) return true;
    failure = "INN does not take articles: " + r.out + r.err;
    return false;
}

void tInn::Stop() {
    if (port) (void)RunProgram("/usr/bin/python3", {Script(), "stop", dir / "inn"}, "", "", 120);
    port = 0;
}
