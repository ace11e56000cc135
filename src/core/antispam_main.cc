// antispam_main - the torvane-antispam program.
#include "core/daemon.h"

int main(int argc, char** argv) { return TorvaneAntispamMain(argc, argv); }
