#include "app/Headless.h"

#include <windows.h>

#include <cstdio>
#include <exception>

#include "core/SupportLog.h"
#include "updater/SelfUpdate.h"
#include "updater/UpdateWorker.h"
#include "updater/Updater.h"

namespace {

// To the inherited standard output, UTF-8; nothing when there is none.
void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int exitCodeOf(UpdateFailure failure) {
    switch (failure) {
    case UpdateFailure::None: return kUpToDate;
    case UpdateFailure::Network: return kConnectionFailed;
    case UpdateFailure::DamagedData: return kDamaged;
    case UpdateFailure::FileInUse: return kInUse;
    case UpdateFailure::DiskSpace: return kNoDiskSpace;
    case UpdateFailure::Unverified: return kNotVerified;
    case UpdateFailure::Offline: return kOffline;
    }
    return kConnectionFailed;
}

}  // namespace

bool hasArgument(const std::wstring& commandLine, const std::wstring& wanted) {
    // Split as Windows programs split their arguments, minus escapes: blanks
    // outside quotes end one. The first is the program.
    bool first = true, quoted = false;
    std::wstring argument;
    for (std::size_t i = 0; i <= commandLine.size(); ++i) {
        const wchar_t c = i < commandLine.size() ? commandLine[i] : L' ';
        if (c == L'"') {
            quoted = !quoted;
        } else if ((c == L' ' || c == L'\t') && !quoted) {
            if (!argument.empty() && !first && argument == wanted) return true;
            if (!argument.empty()) first = false;
            argument.clear();
        } else {
            argument += c;
        }
    }
    return false;
}

int runUpdateOnly() {
    try {
        Updater updater = configuredUpdater(nullptr);
        updater.onFetched = [](const std::string& name) { say("fetched " + name); };
        // A new launcher is moved in and not started: no "Restarting".
        const UpdateFailure failure = passOutcome(updater);
        logOutcome(failure, false);
        if (launcherReplaced()) say("moved in a new Launcher.exe: the next start runs it");
        say(asciiText(outcomeText(failure)));
        return exitCodeOf(failure);
    } catch (const std::exception&) {
        return kCannotStart;
    }
}
