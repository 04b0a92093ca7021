// Admission of new clients by the access rules, and the intruder log.
//
// AdmissionCheck is a pure decision over what the dispatcher learnt about a
// connection (whether it comes from this computer, its dotted address, its
// reverse host name) and the access settings (otherComputers, allowedIP,
// allowedHostName, hostNameRequired). A refused client is recorded in
// "logs/intruder" by IntruderRecord.
//
// Threading: reentrant. IntruderRecord appends with one write per record, so
// the two dispatchers may record at the same time.
#pragma once

#include <ctime>

// The access settings a decision uses. The pattern lists are null-terminated
// (null for the default "*"), first match decides, "!" negates.
struct tAdmissionRules {
    int otherComputers;                  // admit clients of other computers
    const char *const *allowedIP;        // patterns of dotted addresses
    const char *const *allowedHostName;  // patterns of reverse names
    int hostNameRequired;                // refuse clients without a reverse name
};

constexpr const char *INTRUDER_LOG_PATH = "logs/intruder";

// Null when the client is admitted, else the reason of the refusal:
// "Client is not on local computer" (otherComputers off and isLocal 0),
// "This IP address is not allowed", "This host name is not allowed", or
// "Client does not have a hostname (reverse DNS failed)". hostName is the
// name the reverse lookup gave, null when it gave none.
const char *AdmissionCheck(const tAdmissionRules *rules, int isLocal, const char *dotted, const char *hostName);

// Appends an intruder record to path: the banner "========================",
// "Date: " with the ctime text of when, then "Interface: %s\nAddress: %s\n
// Port: %ld\nHostname: %s\nReason: %s\n" (kind "NNTP" or "Web"). Best
// effort: a file that cannot be opened is skipped silently.
void IntruderRecord(const char *path, const char *kind, const char *dotted, long port, const char *host,
                    const char *reason, time_t when);
