#include "lib/shortcut.h"

#include <cstdio>
#include <unistd.h>

int WriteShortcut(const char *fileName, int schemeIndex, int port, int urlForm) {
    const char *prefix;
    int defaultPort;
    switch (schemeIndex) {
    case SHORTCUT_HTTP: prefix = "http://"; defaultPort = 80; break;
    case SHORTCUT_NEWS: prefix = "news://"; defaultPort = 119; break;
    case SHORTCUT_TELNET: prefix = "telnet://"; defaultPort = 23; break;
    default: return -1;
    }
    char portText[16] = "";
    if (port != defaultPort) snprintf(portText, sizeof portText, ":%d", port);

    unlink(fileName);
    FILE *f = fopen(fileName, "w");
    if (!f) return -1;
    if (urlForm) {
        fprintf(f, "[InternetShortcut]\nURL=%slocalhost%s\n", prefix, portText);
    } else {
        fputs("<html><head>\n", f);
        if (schemeIndex == SHORTCUT_HTTP)
            fprintf(f, "<meta http-equiv=\"refresh\" content=\"0;url=%slocalhost%s\">\n", prefix, portText);
        fprintf(f,
                "</head><body><script language=\"JavaScript\">\nwindow.location.href=\"%slocalhost%s\";\n"
                "</script></body></html>\n",
                prefix, portText);
    }
    bool writeFailed = ferror(f) != 0;
    if (fclose(f) != 0 || writeFailed) return -1;
    return 0;
}
