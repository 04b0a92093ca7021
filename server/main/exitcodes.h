// Exit codes of the multiplexer.
//
// A run of `mergator` ends with one of the codes 0..64. Each has a fixed text
// used in "Mergator is terminating with code %d: %s.\n" and in
// "Auto-configuration failed: %s\n". Codes with an empty text exist in the
// table but nothing raises them. Subsystems end the program by passing one of
// these codes to RequestShutdown (lib/shutdown.h).
//
// Threading: constants and a pure lookup; safe from any thread.
#pragma once

constexpr int EXIT_NO_PROBLEM = 0;
constexpr int EXIT_HELP = 1;
constexpr int EXIT_BAD_OPTION = 2;
constexpr int EXIT_NO_WORK_DIRECTORY = 3;
constexpr int EXIT_JOURNAL = 4;
constexpr int EXIT_ANOTHER_SERVER = 5;
constexpr int EXIT_LOGS_DIRECTORY = 10;
constexpr int EXIT_LIST_DIRECTORY = 12;
constexpr int EXIT_EXPLORE_DIRECTORY = 13;
constexpr int EXIT_ASYNC_DIRECTORY = 14;
constexpr int EXIT_SHORT_NAMES_ONLY = 15;
constexpr int EXIT_NEWSRC_DIRECTORY = 16;
constexpr int EXIT_INDEX_DIRECTORY = 17;
constexpr int EXIT_DATASET_DIRECTORY = 18;
constexpr int EXIT_UNUSABLE_LOG = 19;
constexpr int EXIT_SERVERS_INI = 20;
constexpr int EXIT_GROUPS_LIST = 21;
constexpr int EXIT_ASYNC_INIT = 22;
constexpr int EXIT_NNTP_SERVER = 23;
constexpr int EXIT_WEB_SERVER = 24;
constexpr int EXIT_ASYNC_THREADS = 25;
constexpr int EXIT_MIGRATION_FAILED = 26;
constexpr int EXIT_SHUTDOWN_DURING_STARTUP = 27;
constexpr int EXIT_NNTP_THREAD = 28;
constexpr int EXIT_WEB_THREAD = 29;
constexpr int EXIT_COMPACT_TASK = 30;
constexpr int EXIT_MEMORY_MONITOR_TASK = 32;
constexpr int EXIT_CORRUPTED_ON_FREE = 33;
constexpr int EXIT_CORRUPTED_ON_SAVE = 34;
constexpr int EXIT_MAIN_SYNC = 35;
constexpr int EXIT_NO_INTERNET = 36;
constexpr int EXIT_ASYNC_TASK = 37;
constexpr int EXIT_NNTP_LOG = 38;
constexpr int EXIT_MGSHUT = 39;
constexpr int EXIT_CLIENTS_LOG = 40;
constexpr int EXIT_WEB_LOG = 41;
constexpr int EXIT_WEB_SHUTDOWN = 42;
constexpr int EXIT_SIGNAL = 43;
constexpr int EXIT_MGRESTART = 44;
constexpr int EXIT_UPDATE_DIRECTORY = 45;
constexpr int EXIT_CORRUPTED_ON_COMPARE = 46;
constexpr int EXIT_AUTOCONFIG_FAILED = 47;
constexpr int EXIT_UPDATE_TASK = 48;
constexpr int EXIT_MINIMAL_DONE = 49;
constexpr int EXIT_POPULAR_INI = 50;
constexpr int EXIT_REPAIR_FAILED = 51;
constexpr int EXIT_SAME_PORTS = 52;
constexpr int EXIT_WEB_RESTART = 53;
constexpr int EXIT_MERGATOR_INI = 54;
constexpr int EXIT_AUTOCONFIG_DONE = 55;
constexpr int EXIT_IMPORT_FAILED = 56;
constexpr int EXIT_PANIC_RESTART = 57;
constexpr int EXIT_CONNECT_DIRECTORY = 58;
constexpr int EXIT_SERVICE_SHUTDOWN = 59;
constexpr int EXIT_SERVICE_FAILED = 60;
constexpr int EXIT_SERVDYNA_INI = 61;
constexpr int EXIT_RETRIEVD = 62;
constexpr int EXIT_HIDDEN = 63;
constexpr int EXIT_MIGRATION_REQUIRED = 64;

// The text of an exit code; "" for the codes without a text and for any code
// outside 0..64. Never null.
const char *ExitCodeText(int code);
