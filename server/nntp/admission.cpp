#include "server/nntp/admission.h"

#include <cstdio>

#include "lib/strings.h"
#include "lib/wildmatch.h"

const char *AdmissionCheck(const tAdmissionRules *rules, int isLocal, const char *dotted, const char *hostName) {
    if (!rules->otherComputers && !isLocal) return "Client is not on local computer";
    if (!PatternListMatch(dotted, rules->allowedIP, 0)) return "This IP address is not allowed";
    if (hostName) {
        if (!PatternListMatch(hostName, rules->allowedHostName, 0)) return "This host name is not allowed";
        return nullptr;
    }
    if (rules->hostNameRequired) return "Client does not have a hostname (reverse DNS failed)";
    return nullptr;
}

void IntruderRecord(const char *path, const char *kind, const char *dotted, long port, const char *host,
                    const char *reason, time_t when) {
    char date[64];
    if (!ctime_r(&when, date)) date[0] = '\0';
    char record[1024];
    if (FormatBounded(record, sizeof record,
                      "========================\nDate: %sInterface: %s\nAddress: %s\nPort: %ld\nHostname: %s\n"
                      "Reason: %s\n",
                      date, kind, dotted, port, host, reason) < 0)
        return;
    FILE *file = fopen(path, "ab");
    if (!file) return;
    fputs(record, file);
    fclose(file);
}
