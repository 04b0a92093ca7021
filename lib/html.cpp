#include "lib/html.h"

#include <cctype>
#include <cstring>

namespace {

// Appends item when it leaves a byte free besides the NUL.
bool Put(char *dst, int len, int *pos, const char *item, int itemLen) {
    if (*pos + itemLen + 1 >= len) return false;
    memcpy(dst + *pos, item, (size_t)itemLen);
    *pos += itemLen;
    return true;
}

}  // namespace

int HtmlText(char *dst, int len, const char *text, int atBreak, int wrap) {
    if (len <= 0) return 0;
    int pos = 0;
    int run = 0;
    for (const char *p = text; p && *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (c == '<') {
            if (!Put(dst, len, &pos, "&lt;", 4)) break;
            run++;
        } else if (atBreak && c == '@') {
            if (!Put(dst, len, &pos, " @ ", 3)) break;
            run = 0;
        } else if (isspace(c)) {
            if (!Put(dst, len, &pos, p, 1)) break;
            run = 0;
        } else {
            if (wrap > 0 && run > wrap) {
                if (!Put(dst, len, &pos, " ", 1)) break;
                run = 0;
            } else {
                run++;
            }
            if (!Put(dst, len, &pos, p, 1)) break;
        }
    }
    dst[pos] = '\0';
    return pos;
}

const char *HtmlNonEmpty(const char *text, int html) {
    if (!html) return text ? text : "";
    if (!text || !*text || strcmp(text, " ") == 0) return "&nbsp;";
    return text;
}
