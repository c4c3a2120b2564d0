// Runs one update pass in the current directory: PassRunner HOST BASEPATH.
// Exit code 0 when the pass succeeded, else the failure's number. Used by the tests that kill a
// pass midway.
#include <cstdio>

#include "updater/Updater.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: updater_pass_runner HOST BASEPATH\n");
        return 2;
    }
    const Updater updater{argv[1], argv[2], false, [](std::int32_t, const std::string&) {}};
    return static_cast<int>(updater.runPass());
}
