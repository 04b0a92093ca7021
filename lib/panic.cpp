#include "lib/panic.h"

#include <cstdio>
#include <cstdlib>

void Panic(const char *condition, const char *sourceFile, int line) {
    FILE *f = fopen("panic", "a");
    if (f) {
        fprintf(f, "Assertion failed: %s, file %s, line %d\n", condition, sourceFile, line);
        fclose(f);
    }
    abort();
}
