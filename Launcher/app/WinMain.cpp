#include <windows.h>

#include <cstdio>

#include "app/Application.h"
#include "app/Headless.h"
#include "app/Instance.h"
#include "core/LauncherState.h"
#include "core/Process.h"
#include "core/SupportLog.h"
#include "updater/SelfUpdate.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    const bool updateOnly = hasArgument(GetCommandLineW(), L"--update-only");
    launcherState.verifyAll = hasArgument(GetCommandLineW(), L"--verify");
    // Before anything else: a second launcher in this game folder would run a
    // second pass over the same files.
    if (!claimGameFolder(!updateOnly)) ExitProcess(updateOnly ? kAnotherLauncher : 0);
    const std::wstring folder = currentDirectory();
    if (!folder.empty()) openSupportLog(folder + L"\\Launcher.log");
    logLine("=== Zovra Launcher " + launcherVersion() + (updateOnly ? ", --update-only" : ""));
    // A window starts the writer after its first frame.
    if (updateOnly) startSupportLogWriter();
    const int exitCode = updateOnly ? runUpdateOnly() : runLauncher(instance, showCommand);
    // The update worker is never joined. Ending the process here stops it
    // before static destructors could release the state it still writes;
    // but not between the two moves that replace the launcher's own file,
    // and not before the log has what happened (START GAME's line too).
    finishSelfUpdate();
    flushSupportLog(2000);
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(exitCode));
}
