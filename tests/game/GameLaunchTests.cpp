#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "GameTestSupport.h"
#include "core/Process.h"
#include "game/GameLaunch.h"
#include "support/FileTree.h"
#include "ui/MainScreen.h"

namespace {

std::string narrow(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0],
                                   static_cast<int>(out.size()), nullptr, nullptr));
    return out;
}

bool mutexExists() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kGameMutexName);
    if (mutex) CloseHandle(mutex);
    return mutex != nullptr;
}

// The window still answers messages and keeps its state.
bool windowUsable(HWND window) {
    wchar_t text[32] = {};
    SetWindowTextW(window, L"still here");
    GetWindowTextW(window, text, 32);
    return IsWindow(window) && std::wstring(text) == L"still here";
}

class GameLaunchTest : public GameStateTest {
protected:
    void SetUp() override {
        static int counter = 0;
        GameStateTest::SetUp();
        launcherState.updateFinished = launcherState.updateSucceeded = true;
        wchar_t buffer[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, buffer);
        originalDirectory_ = buffer;
        GetTempPathW(MAX_PATH, buffer);
        root_ = buffer + (L"game-launch-" + std::to_wstring(counter++));
        removeTree(root_);
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        window_ = CreateWindowExW(0, L"STATIC", L"launch test", WS_POPUP, 0, 0, 100, 100, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
    }

    void TearDown() override {
        if (IsWindow(window_)) DestroyWindow(window_);
        SetCurrentDirectoryW(originalDirectory_.c_str());
        removeTree(root_);
        GameStateTest::TearDown();
    }

    // Makes the game folder below the test's root, with the stub built beside
    // the test binaries as its Main.exe unless told otherwise, and enters it.
    void enterGameFolder(const std::wstring& relative, bool withGame = true) {
        std::wstringstream parts(relative);
        folder_ = root_;
        for (std::wstring part; std::getline(parts, part, L'\\');)
            CreateDirectoryW(extendedPath(folder_ += L"\\" + part).c_str(), nullptr);
        if (withGame) placeGame();
        EXPECT_TRUE(SetCurrentDirectoryW(folder_.c_str())) << narrow(folder_);
    }

    void placeGame() {
        wchar_t self[MAX_PATH] = {};
        const std::wstring stub(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        const std::wstring from = stub.substr(0, stub.rfind(L'\\')) + L"\\stub\\Main.exe";
        ASSERT_TRUE(CopyFileW(from.c_str(), extendedPath(folder_ + L"\\Main.exe").c_str(), FALSE))
            << "stub game missing at " << narrow(from);
    }

    std::wstring recordPath() const { return extendedPath(folder_ + L"\\stub-game-record.txt"); }

    // The stub's record, once written: it holds the file open while it writes.
    std::string waitForRecord() const {
        char buffer[8192];
        DWORD read = 0;
        for (int i = 0; i < 500 && read == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            HANDLE file = CreateFileW(recordPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      0, nullptr);
            if (file == INVALID_HANDLE_VALUE) continue;
            ReadFile(file, buffer, sizeof buffer, &read, nullptr);
            CloseHandle(file);
        }
        return std::string(buffer, read);
    }

    // Gives a wrongly started client time to write its record first.
    bool recordAppears() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return GetFileAttributesW(recordPath().c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    // A start by a press on START GAME: Main.exe from the folder with no
    // arguments, that folder as working directory, the mutex held while the
    // client starts, the window closed after 1.5 s.
    void expectStarted() {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(handleLeftButtonDown(window_, 620, 390), PressResult::Handled);
        const auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_FALSE(IsWindow(window_)) << "the launcher window stays after the start";
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 1400);
        EXPECT_TRUE(mutexExists());

        // The command line is the quoted path alone: a folder with blanks
        // must not reach the client as several arguments.
        EXPECT_EQ(waitForRecord(), "commandline=\"" + narrow(folder_ + L"\\Main.exe") +
                                       "\"\ncwd=" + narrow(folder_) + "\nmutex=held\n");
    }

    std::wstring originalDirectory_, root_, folder_;
    HWND window_ = nullptr;
};

}  // namespace

// Must run before any start in this process: the mutex, once made, is never
// closed, so its absence can only be seen first.
TEST_F(GameLaunchTest, AClosedGateCreatesNoMutexAndStartsNothing) {
    ASSERT_FALSE(mutexExists()) << "an earlier test in this process created the mutex";
    enterGameFolder(L"gate");
    const bool gates[][2] = {{false, false}, {false, true}, {true, false}};
    for (const auto& gate : gates) {
        launcherState.updateFinished = gate[0];
        launcherState.updateSucceeded = gate[1];
        launchGame(window_);
        // Through the window's press handler START GAME only moves the window.
        EXPECT_EQ(handleLeftButtonDown(window_, 700, 420), PressResult::DragWindow);
        EXPECT_FALSE(mutexExists()) << gate[0] << gate[1];
        EXPECT_TRUE(windowUsable(window_)) << gate[0] << gate[1];
    }
    EXPECT_FALSE(recordAppears());
}

// Placed afterwards, Main.exe starts on the next press, from a folder whose
// path has spaces.
TEST_F(GameLaunchTest, WithoutMainExeNothingStartsAndTheNextPressTriesAgain) {
    enterGameFolder(L"My Games\\Tarsk Online", false);
    EXPECT_EQ(handleLeftButtonDown(window_, 620, 390), PressResult::Handled);
    EXPECT_TRUE(windowUsable(window_));
    EXPECT_TRUE(mutexExists());

    placeGame();
    expectStarted();
}

// The whole path comes back, not its first MAX_PATH characters; no process
// can be given it as working directory, so the start is refused quietly.
TEST_F(GameLaunchTest, ADirectoryLongerThanMaxPathIsReadWholeAndRefusedQuietly) {
    std::wstring relative;
    for (int i = 0; i < 6; ++i)
        relative += (i ? L"\\" : L"") + std::wstring(48, static_cast<wchar_t>(L'a' + i));
    enterGameFolder(relative);
    ASSERT_GT(folder_.size(), 300u);
    EXPECT_EQ(currentDirectory(), folder_);

    launchGame(window_);
    EXPECT_TRUE(windowUsable(window_));
    EXPECT_FALSE(recordAppears());
}
