#include "cli.h"

int main(int argc, char **argv) { return muxctl::muxctl_main(argc, argv); }
