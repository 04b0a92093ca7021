#include "server/nntp/asyncgroup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/dirwalk.h"
#include "lib/sendlog.h"
#include "lib/strings.h"

namespace {

const char *const ASYNC_PATTERNS[] = {"*.ok", "*.del", nullptr};

// The handle in the name after the last "/", or 0.
long HandleOf(const char *path) {
    const char *name = strrchr(path, '/');
    name = name ? name + 1 : path;
    return strtol(name, nullptr, 16);
}

int CollectHandle(const char *path, void *context) {
    long handle = HandleOf(path);
    if (handle > 0) ((std::vector<long> *)context)->push_back(handle);
    return 0;
}

void Collect(std::vector<long> *handles) {
    (void)DirWalk("async", ASYNC_PATTERNS, DW_UNLISTABLE_OK, CollectHandle, handles);
}

void Summarise(const std::vector<long> &handles, tAsyncGroupSummary *summary) {
    summary->count = (int)handles.size();
    summary->lowest = 1;
    summary->highest = 0;
    for (size_t i = 0; i < handles.size(); i++) {
        if (i == 0 || handles[i] < summary->lowest) summary->lowest = handles[i];
        if (i == 0 || handles[i] > summary->highest) summary->highest = handles[i];
    }
}

}  // namespace

void AsyncGroupSummary(tAsyncGroupSummary *summary) {
    std::vector<long> handles;
    Collect(&handles);
    Summarise(handles, summary);
}

int AsyncGroupAnswer(int socket, int form, tLog *log) {
    std::vector<long> handles;
    Collect(&handles);
    tAsyncGroupSummary s;
    Summarise(handles, &s);
    char text[1024];
    int n = 0;
    switch (form) {
    case ASYNC_FORM_LIST:
        n = FormatBounded(text, sizeof text, "async %ld %ld y\r\n", s.highest, s.lowest);
        break;
    case ASYNC_FORM_GROUP:
    case ASYNC_FORM_LISTGROUP:
        n = FormatBounded(text, sizeof text, "211 %d %ld %ld async selected\r\n", s.count, s.lowest, s.highest);
        break;
    case ASYNC_FORM_XGTITLE:
        n = FormatBounded(text, sizeof text, "async\tMergator async group\r\n");
        break;
    case ASYNC_FORM_WEB_TABLE:
        n = FormatBounded(text, sizeof text,
                          "<tr><td>&nbsp;</td><td><a href=\"/async.htm\">Articles</a></td><td align=right>%ld</td>"
                          "<td align=right>%ld</td><td align=right>%ld</td><td>async</td><td>&nbsp;</td>"
                          "<td>&nbsp;</td><td>&nbsp;</td><td>&nbsp;</td></tr>\r\n",
                          s.highest - s.lowest + 1, s.lowest, s.highest);
        break;
    default:
        n = FormatBounded(text, sizeof text, "<a href=\"/async.htm\"> Articles </a> %ld (%ld-%ld) async<br>\r\n",
                          s.highest - s.lowest + 1, s.lowest, s.highest);
        break;
    }
    if (n < 0 || SendAndLog(socket, text, log) < 0) return -1;
    if (form != ASYNC_FORM_LISTGROUP) return 0;
    std::string numbers;
    for (long handle : handles) {
        numbers += std::to_string(handle);
        numbers += "\r\n";
    }
    numbers += ".\r\n";
    return SendAndLog(socket, numbers.c_str(), log) < 0 ? -1 : 0;
}
