// The work directory: preparing it for a first run and cleaning it up.
//
// All state of the multiplexer lives in one work directory, which becomes the
// current directory. PrepareWorkDirectory enters it, offers to create it when
// it is missing, refuses directories of older versions and, on a first start,
// creates "etc" and "etc/servers.ini" with the news servers it can find. The
// two clean-ups remove what the program created (option -C) or only what is
// empty (option -c, and the end of every run).
//
// All paths below are relative to the current directory. Messages go to
// standard output (errors of the first start to standard error), since no
// journal is open yet.
//
// Threading: main thread only, before any run or after it.
#pragma once

// Enters directory and creates what a first run needs. Returns 0 when the
// directory is ready and nothing was created, EXIT_AUTOCONFIG_DONE (55) when
// a first configuration was just created, or an exit code:
// EXIT_NO_WORK_DIRECTORY (3) when the directory cannot be entered or created
// (in migration mode also when it lacks "etc" or "etc/servers.ini"),
// EXIT_AUTOCONFIG_FAILED (47) when the user declines to create it, when it is
// a pre-4.0 work directory or when "etc/servers.ini" cannot be created,
// EXIT_MIGRATION_REQUIRED (64) when files of the pre-4.5 layout are present
// (not in migration mode), or shutdownCode when a shutdown was requested
// during the dialogue or the search. In migration mode nothing is created.
[[nodiscard]] int PrepareWorkDirectory(const char *directory, int minimalOption, int migrationMode);

// Removes, in the current directory: with withLogs the empty "logs/clients",
// "logs/summary" and "logs/web"; always the empty "logs/unusable"; the
// directories "cache", "list", "logs", "etc", "explore", "connect", "async",
// "index2", "newsrc3" and "xhdr" when they are empty; the six shortcut files.
// Anything not empty stays. Failures are ignored.
void CleanWorkDirectory(int withLogs);

// Deletes everything the program creates in the current directory except the
// configuration ("etc/mergator.ini", "etc/servers.ini", "etc/servdyna.ini",
// "etc/filters.ini"): the group indexes, the databases of "etc", the logs,
// the newsrc stores, the "xhdr" files and the journal, then
// CleanWorkDirectory(1). Files of the user elsewhere stay. Failures are
// ignored.
void DeleteAllCreated();

// Deletes the regular files directly in directory dir (not below it) whose
// names do not end in exceptSuffix (null: all). Failures are ignored.
void DeleteFilesOf(const char *dir, const char *exceptSuffix = nullptr);
