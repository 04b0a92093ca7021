// Program entry of the multiplexer: banner, command line, work directory,
// the run and the final prompt.
//
// The same program is the migration tool when its file name contains
// "mgmigrat" or "MGMIGRAT": it then has its own options and converts the
// files of an older work directory instead of serving.
//
// Threading: Main runs on the main thread; ConsoleEvent runs on the signal
// thread of lib/console.h.
#pragma once

// "Mergator", or "MgMigrat" in migration mode; set by Main.
extern const char *programName;

// The banner line without its line end: the program's name, " 4.5 (", the
// build date ("Jun  8 2009"), ")", two blanks and a notice. Valid until the
// next call.
const char *ProgramBanner();

// Installs the console control (SIGINT, SIGTERM, SIGHUP on the signal
// thread): every event prints "Shutdown requested by signal %d...\n" on
// standard error and requests the shutdown with EXIT_SIGNAL (43). Safe to
// call again. Must be called before any other thread starts.
void InstallConsoleControl();

// The process entry: returns the exit code (see exitcodes.h).
int Main(int argc, char **argv);
