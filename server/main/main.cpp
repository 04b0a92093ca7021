// Program entry of the multiplexer.
#include <cstdio>

int main() {
    fputs("Mergator 4.5\n", stdout);
    return 0;
}
