// Internal consistency checks.
//
// Panic appends "Assertion failed: %s, file %s, line %d\n" to the file
// "panic" in the current (work) directory, silently skipping that when the
// file cannot be opened, and aborts the process. Every invariant check of the
// system ends here. Safe from any thread.
#pragma once

[[noreturn]] void Panic(const char *condition, const char *sourceFile, int line);

// Checks an invariant in every build; a false condition ends in Panic.
#define MG_ASSERT(cond) ((cond) ? (void)0 : Panic(#cond, __FILE__, __LINE__))
