#include <sstream>
#include <string>

#include "GameTestSupport.h"
#include "core/Process.h"
#include "game/GameLaunch.h"
#include "support/FileTree.h"
#include "ui/MainScreen.h"

// What a started client sees (its record, the held mutex) is checked by the
// end-to-end tests; these are the starts that must not happen, and the wait.
namespace {

bool mutexExists() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kGameMutexName);
    if (mutex) CloseHandle(mutex);
    return mutex != nullptr;
}

// A game folder below the temporary folder and a stand-in for the launcher
// window.
class GameLaunchTest : public GameStateTest {
protected:
    void SetUp() override {
        GameStateTest::SetUp();
        wchar_t path[MAX_PATH] = {};
        original_.assign(path, GetCurrentDirectoryW(MAX_PATH, path));
        root_.assign(path, GetTempPathW(MAX_PATH, path)).append(L"game-launch");
        window_ = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 9, 9, nullptr, nullptr,
                                  nullptr, nullptr);
    }
    void TearDown() override {
        DestroyWindow(window_);
        SetCurrentDirectoryW(original_.c_str());
        removeTree(root_);
        GameStateTest::TearDown();
    }
    // Enters a fresh folder made of the given parts, with the stub client
    // as its Main.exe if asked.
    void enter(const std::wstring& relative, bool withGame) {
        SetCurrentDirectoryW(original_.c_str());
        removeTree(root_);
        CreateDirectoryW((folder_ = root_).c_str(), nullptr);
        std::wstringstream parts(relative);
        for (std::wstring part; std::getline(parts, part, L'\\');)
            CreateDirectoryW(extendedPath(folder_ += L"\\" + part).c_str(), nullptr);
        // The tests run in the build folder, which holds the stub in tests\stub.
        const std::wstring stub = original_ + L"\\tests\\stub\\Main.exe";
        ASSERT_TRUE(!withGame ||
                    CopyFileW(stub.c_str(), extendedPath(folder_ + L"\\Main.exe").c_str(), FALSE));
        ASSERT_TRUE(SetCurrentDirectoryW(folder_.c_str()));
    }
    std::wstring original_, root_, folder_;
    HWND window_ = nullptr;
};

}  // namespace

// A closed gate creates no mutex and starts nothing (this must come before
// any start in this process: the mutex, once made, is never closed); through
// the press handler START GAME then only moves the window, and Enter does
// nothing, nor over the settings panel after a successful pass. Without Main.exe
// the press is taken (the mutex is made) and the window stays for the next
// try. A folder deeper than MAX_PATH is read whole; no process can be given it
// as working directory, so that start is refused quietly.
TEST_F(GameLaunchTest, OnlyAStartThatGoesThroughClosesTheWindow) {
    ASSERT_FALSE(mutexExists()) << "an earlier test in this process created the mutex";
    enter(L"gate", true);
    for (const auto& [finished, succeeded] :
         {std::pair{false, false}, {false, true}, {true, false}}) {
        launcherState.updateFinished = finished;
        launcherState.updateSucceeded = succeeded;
        launchGame(window_);
        handleKeyDown(window_, VK_RETURN);
        EXPECT_EQ(handleLeftButtonDown(window_, 700, 420), PressResult::DragWindow);
        EXPECT_FALSE(mutexExists()) << finished << succeeded;
    }
    launcherState.updateFinished = launcherState.updateSucceeded = true;
    launcherState.settingsOpen = true;
    handleKeyDown(window_, VK_RETURN);
    EXPECT_FALSE(mutexExists()) << "started over the settings panel";
    launcherState.settingsOpen = false;
    enter(L"My Games\\Tarsk Online", false);
    EXPECT_EQ(handleLeftButtonDown(window_, 620, 390), PressResult::Handled);
    EXPECT_TRUE(mutexExists());

    std::wstring relative;
    for (wchar_t c = L'a'; c < L'g'; ++c)
        relative += (c > L'a' ? L"\\" : L"") + std::wstring(48, c);
    enter(relative, true);
    ASSERT_GT(folder_.size(), 300u);
    EXPECT_EQ(currentDirectory(), folder_);
    launchGame(window_);
    EXPECT_TRUE(IsWindow(window_));

    // The start that goes through, here by Enter, keeps the window 1.5 s,
    // then closes it.
    enter(L"start", true);
    const DWORD start = GetTickCount();
    handleKeyDown(window_, VK_RETURN);
    EXPECT_GE(GetTickCount() - start, 1400u);
    EXPECT_FALSE(IsWindow(window_));
}
