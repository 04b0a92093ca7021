#include "server/main/exitcodes.h"

namespace {

const char *const exitTexts[] = {
    "No problem",                                                       // 0
    "Help was printed",                                                 // 1
    "Bad option was passed",                                            // 2
    "Missing work directory",                                           // 3
    "Could not open the journal file",                                  // 4
    "Another server already running on same port",                      // 5
    "", "", "", "",                                                     // 6..9
    "Could not create the logs directory",                              // 10
    "",                                                                 // 11
    "Could not create the list directory",                              // 12
    "Could not create the explore directory",                           // 13
    "Could not create the async directory",                             // 14
    "Option -t not specified but disk is 8.3 only",                     // 15
    "Could not create the newsrc directory",                            // 16
    "Could not create the index directory",                             // 17
    "Could not create the dataset directory",                           // 18
    "Could not create the logs/unusable file",                          // 19
    "Error in the etc/servers.ini file",                                // 20
    "Error when processing the groups list file",                       // 21
    "Error when initializing asynchronous retrieval",                   // 22
    "Could not establish an NNTP server",                               // 23
    "Could not establish a Web server",                                 // 24
    "Could not create async retrieval threads",                         // 25
    "Error when migrating the databases",                               // 26
    "Shutdown requested during startup",                                // 27
    "Could not create the NNTP server thread",                          // 28
    "Could not create the Web server thread",                           // 29
    "Could not create the compaction task",                             // 30
    "",                                                                 // 31
    "Could not create the memory monitor task",                         // 32
    "Article noticed as corrupted during article free operation",       // 33
    "Article noticed as corrupted during article save operation",       // 34
    "Error during synchronization with main server",                    // 35
    "Internet not present",                                             // 36
    "An async retrieval task could not be created",                     // 37
    "The log file for NNTP connection could not be created",            // 38
    "The MGSHUT command has been performed",                            // 39
    "Cannot initialize the logs/clients file",                          // 40
    "Cannot initialize the logs/web file",                              // 41
    "Shutdown requested from the web interface",                        // 42
    "Shutdown requested by signal",                                     // 43
    "Internal restart requested using MGRESTART",                       // 44
    "Could not create the update directory",                            // 45
    "Article noticed as corrupted during Message-ID compare",           // 46
    "Auto-configuration failed",                                        // 47
    "Could not create the server update task",                          // 48
    "Automatic shutdown after exploring all servers in minimal mode",   // 49
    "Could not read the etc/popular.ini file",                          // 50
    "Could not repair the article database",                            // 51
    "NNTP server and Web server ports not different",                   // 52
    "Internal restart requested from the web interface",                // 53
    "Error when processing the etc/mergator.ini file",                  // 54
    "Auto-configuration done",                                          // 55
    "Error when importing servers from file",                           // 56
    "Internal restart on panic",                                        // 57
    "Could not create the connect directory",                           // 58
    "Service shutdown",                                                 // 59
    "Service operation failed",                                         // 60
    "Error in the etc/servdyna.ini file",                               // 61
    "Could not initialize the etc/retrievd file",                       // 62
    "Could not initialize the etc/hidden file",                         // 63
    "Database migration is required",                                   // 64
};

static_assert(sizeof exitTexts / sizeof exitTexts[0] == 65, "one text per exit code 0..64");

}  // namespace

const char *ExitCodeText(int code) {
    if (code < 0 || code > EXIT_MIGRATION_REQUIRED) return "";
    return exitTexts[code];
}
