#include <thread>

#include "TestSupport.h"
#include "updater/FileMoves.h"
#include "updater/SelfUpdate.h"

using namespace testing_support;

namespace {

// The file opened as a scanner opens it: without delete sharing, so that it
// cannot be moved meanwhile.
HANDLE scan(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

// The running launcher is recognised by what its file is, not how its path
// is spelt: other case, a short name, a relative path, a name with blanks.
TEST(SelfUpdateTest, AnEntryNamesTheRunningLauncherByItsIdentity) {
    Sandbox sandbox("self-identity");
    sandbox.put("Zovra Launcher Program.exe", "launcher");
    sandbox.put("other/Zovra Launcher Program.exe", "launcher");
    const std::wstring program = sandbox.at("Zovra Launcher Program.exe");
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(program.c_str(), shortName, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortName), program);
    const struct {
        std::wstring entry;
        bool same;
    } cases[] = {
        {L"Zovra Launcher Program.exe", true}, {L"ZOVRA LAUNCHER PROGRAM.EXE", true},
        {shortName, true},  {L"other/Zovra Launcher Program.exe", false},
        {L"missing.exe", false},
    };
    for (const auto& c : cases) EXPECT_EQ(sameFile(c.entry, program), c.same) << c.entry;
}

// The sequence on ordinary files (the running one is only locked on Windows).
TEST(SelfUpdateTest, TheOldFileGoesAsideAndComesBackIfTheNewOneCannotMoveIn) {
    Sandbox sandbox("self-update");
    const std::wstring program = sandbox.at("Launcher.exe"), aside = program + L".launcher-old";
    sandbox.put("Launcher.exe", "old");
    sandbox.put("Launcher.exe.launcher-old", "older");
    EXPECT_FALSE(replaceRunningProgram(sandbox.at("missing.part"), program));
    EXPECT_EQ(readFile(program), "old");

    sandbox.put("new.part", "new");
    sandbox.put("Launcher.exe.launcher-old", "older");
    EXPECT_TRUE(replaceRunningProgram(sandbox.at("new.part"), program));
    EXPECT_EQ(readFile(program), "new");
    EXPECT_EQ(readFile(aside), "old");
    EXPECT_EQ(sandbox.content("new.part"), "<missing>");

    // Still locked after a second's tries, it is left for the next start.
    HANDLE locked = scan(aside);
    removeOldLauncher(program);
    EXPECT_EQ(readFile(aside), "old");
    CloseHandle(locked);
    removeOldLauncher(program);
    EXPECT_EQ(readFile(aside), "<missing>");
    EXPECT_EQ(readFile(program), "new");
}

// The end of the process waits for a replacement between its two moves,
// however long scanners hold the files: here the new one for good (the move
// in gives up after its wait) and the old one, aside, for seconds more, so
// that the old launcher comes back well after any fixed wait of 5 s. Last in
// this file: afterwards no replacement starts.
TEST(SelfUpdateTest, TheProcessEndWaitsForAReplacementInProgress) {
    Sandbox sandbox("self-update-end");
    const std::wstring program = sandbox.at("Launcher.exe"), staging = sandbox.at("new.part");
    sandbox.put("Launcher.exe", "old");
    sandbox.put("new.part", "new");
    HANDLE scanner = scan(staging), aside = INVALID_HANDLE_VALUE;
    std::thread replacing([&] { replaceRunningProgram(staging, program); });
    for (int i = 0; i < 500 && (aside = scan(program + L".launcher-old")) == INVALID_HANDLE_VALUE; ++i)
        Sleep(10);
    std::thread release([&] { Sleep(7000), CloseHandle(aside); });
    finishSelfUpdate();
    EXPECT_EQ(readFile(program), "old");
    replacing.join();
    release.join();
    CloseHandle(scanner);
}
