// Runs one update pass in the current directory, for the tests that need one
// in a process of their own (killed midway, or from Python):
//   updater_pass_runner HOST[:PORT] BASEPATH [--tls] [--key HEX] [--peak] [--verify]
// With --key the manifest must be signed by that P-256 point (128 hex digits),
// versions kept under HKCU\Software\LauncherTests\PassRunner.
// Exit code 0 when the pass succeeded, else the failure's number
// (1 network, 2 damaged, 3 in use, 4 disk space, 5 could not be verified).
// With --peak it prints the process's working set before the pass and its
// peak after it, for the benchmarks. The pass is logged to Launcher.log.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstring>

#include "core/SupportLog.h"
#include "updater/Updater.h"

int main(int argc, char** argv) {
    Updater updater{argc > 2 ? argv[1] : "", argc > 2 ? argv[2] : "", false, nullptr};
    updater.trust = ManifestTrust{"", L"Software\\LauncherTests\\PassRunner"};
    bool usage = argc < 3, peak = false;
    for (int i = 3; i < argc && !usage; ++i) {
        if (std::strcmp(argv[i], "--tls") == 0) {
            updater.secure = true;
        } else if (std::strcmp(argv[i], "--peak") == 0) {
            peak = true;
        } else if (std::strcmp(argv[i], "--verify") == 0) {
            updater.verifyAll = true;
        } else if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc) {
            usage = !decodeHex(argv[++i], updater.trust.publicKey);
        } else {
            usage = true;
        }
    }
    if (usage) {
        std::fprintf(stderr, "usage: updater_pass_runner HOST BASEPATH [--tls] [--key HEX] [--peak] [--verify]\n");
        return 2;
    }
    PROCESS_MEMORY_COUNTERS before{}, after{};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    openSupportLog();
    const int failure = static_cast<int>(updater.runPass());
    flushSupportLog(5000);
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    if (peak) {
        std::printf("WORKING_SET_BEFORE %llu PEAK %llu\n",
                    static_cast<unsigned long long>(before.WorkingSetSize),
                    static_cast<unsigned long long>(after.PeakWorkingSetSize));
    }
    return failure;
}
