// Program entry of the multiplexer.
#include "server/main/entry.h"

int main(int argc, char **argv) { return Main(argc, argv); }
