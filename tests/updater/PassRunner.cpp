// Runs one update pass in the current directory: PassRunner HOST BASEPATH.
// Exit code 0 when the pass succeeded. Used by tests that kill a pass midway.
#include <cstdio>
#include <string>

#include "updater/Updater.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: updater_pass_runner HOST BASEPATH\n");
        return 2;
    }
    int reports = 0;
    const Updater updater{argv[1], argv[2], false,
                          [&reports](std::int32_t, const std::string&) { ++reports; }};
    const bool ok = updater.runPass();
    std::printf("pass %s, %d progress reports\n", ok ? "succeeded" : "failed", reports);
    return ok ? 0 : 1;
}
