#include "server/store/group_name.h"

#include <cstring>

bool GroupNameInvalid(const char *name) {
    size_t len = strlen(name);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)name[i];
        if ((c >= 0x01 && c <= 0x1F) || strchr("\"<>|*?:\\/,;", c)) return true;
    }
    return len > 0 && name[len - 1] == '.';
}
