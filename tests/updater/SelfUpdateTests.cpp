#include "TestSupport.h"
#include "updater/SelfUpdate.h"

using namespace testing_support;

TEST(SelfUpdateTest, AnEntryNamesTheRunningLauncherWhateverTheCase) {
    const struct {
        const wchar_t *folder, *entry, *program;
        bool same;
    } cases[] = {
        {L"C:\\Games\\Zovra", L"Launcher.exe", L"C:\\Games\\Zovra\\Launcher.exe", true},
        {L"C:\\Games\\Zovra", L"LAUNCHER.EXE", L"c:\\games\\zovra\\launcher.exe", true},
        {L"C:\\Games\\Zovra", L"bin/Play.exe", L"C:\\Games\\Zovra\\bin\\play.exe", true},
        {L"C:\\", L"Launcher.exe", L"C:\\Launcher.exe", true},
        {L"C:\\Jeux\\\u00c9t\u00e9", L"\u00e9.exe", L"C:\\JEUX\\\u00c9T\u00c9\\\u00c9.EXE", true},
        {L"C:\\Games\\Zovra", L"Launcher.exe", L"C:\\Other\\Launcher.exe", false},
        {L"C:\\Games\\Zovra", L"sub/Launcher.exe", L"C:\\Games\\Zovra\\Launcher.exe", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(namesProgram(c.folder, c.entry, c.program), c.same) << c.entry;
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
    HANDLE locked = CreateFileW(aside.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    removeOldLauncher(program);
    EXPECT_EQ(readFile(aside), "old");
    CloseHandle(locked);
    removeOldLauncher(program);
    EXPECT_EQ(readFile(aside), "<missing>");
    EXPECT_EQ(readFile(program), "new");
}
