// qx-guardian: the process that releases the transmitter whatever ends the program. The program
// starts it with no arguments; its user service runs it with --release-all after it has ended.
#include <cstdio>
#include <cstring>

#include "platform/guardian_process.h"

int main(int argc, char** argv) {
    if (argc == 1) return qx::RunKeyingGuardian();
    if (argc == 2 && std::strcmp(argv[1], "--release-all") == 0) return qx::ReleaseEveryInterface();
    std::fprintf(stderr,
                 "usage: qx-guardian --release-all\n"
                 "(without arguments it is started by qx-manager, which gives it what it needs)\n");
    return 2;
}
