#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "GameTestSupport.h"
#include "support/FileTree.h"
#include "game/GameLaunch.h"
#include "ui/MainScreen.h"

namespace {

std::wstring directoryOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

// Built beside the test binaries: <build>\tests\stub\Main.exe.
std::wstring stubGamePath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return directoryOf(self) + L"\\stub\\Main.exe";
}

std::string narrow(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

bool mutexExists() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, kGameMutexName);
    if (!mutex) return false;
    CloseHandle(mutex);
    return true;
}

LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createTestWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = testWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"GameLaunchTestWindow";
    RegisterClassW(&windowClass);  // fails harmlessly when already registered
    return CreateWindowExW(0, L"GameLaunchTestWindow", L"launch test", WS_POPUP, 0, 0, 100, 100,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// The window still answers messages and keeps its state.
bool windowUsable(HWND window) {
    if (!IsWindow(window)) return false;
    SetWindowTextW(window, L"still here");
    wchar_t text[32] = {};
    GetWindowTextW(window, text, 32);
    return std::wstring(text) == L"still here";
}

class GameLaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetGameState();
        launcherState.updateFinished = true;
        launcherState.updateSucceeded = true;
        wchar_t original[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, original);
        originalDirectory_ = original;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"game-launch-" + std::to_wstring(GetCurrentProcessId()) +
                L"-" + std::to_wstring(counter_++);
        removeTree(root_);
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        window_ = createTestWindow();
        ASSERT_NE(window_, nullptr);
    }

    void TearDown() override {
        if (IsWindow(window_)) DestroyWindow(window_);
        SetCurrentDirectoryW(originalDirectory_.c_str());
        removeTree(root_);
        resetGameState();
    }

    // Makes a game folder below the test's root and enters it.
    std::wstring enterGameFolder(const std::wstring& relative, bool withGame = true) {
        std::wstring path = root_;
        std::wstringstream parts(relative);
        std::wstring part;
        while (std::getline(parts, part, L'\\')) {
            path += L"\\" + part;
            CreateDirectoryW(extendedPath(path).c_str(), nullptr);
        }
        if (withGame) placeGame(path);
        EXPECT_TRUE(SetCurrentDirectoryW(path.c_str())) << narrow(path);
        return path;
    }

    static void placeGame(const std::wstring& folder) {
        ASSERT_TRUE(
            CopyFileW(stubGamePath().c_str(), extendedPath(folder + L"\\Main.exe").c_str(), FALSE))
            << "stub game missing at " << narrow(stubGamePath());
    }

    // The stub's record as key=value pairs, waiting for it to appear.
    static std::map<std::string, std::string> waitForRecord(const std::wstring& folder) {
        std::map<std::string, std::string> record;
        const std::wstring path = extendedPath(folder + L"\\stub-game-record.txt");
        for (int i = 0; i < 500; ++i) {
            HANDLE file =
                CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                char buffer[8192];
                DWORD read = 0;
                ReadFile(file, buffer, sizeof buffer, &read, nullptr);
                CloseHandle(file);
                std::istringstream lines(std::string(buffer, read));
                std::string line;
                while (std::getline(lines, line)) {
                    const size_t equals = line.find('=');
                    if (equals != std::string::npos)
                        record[line.substr(0, equals)] = line.substr(equals + 1);
                }
                if (record.count("mutex")) return record;
                record.clear();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return record;
    }

    static bool recordExists(const std::wstring& folder) {
        return GetFileAttributesW(extendedPath(folder + L"\\stub-game-record.txt").c_str()) !=
               INVALID_FILE_ATTRIBUTES;
    }

    // Checks a start from `folder`: no arguments, that folder as working
    // directory, the mutex held while the client starts, the window closed
    // after the wait.
    void expectStarted(const std::wstring& folder, bool byPress = false) {
        const auto started = std::chrono::steady_clock::now();
        if (byPress) {
            EXPECT_EQ(handleLeftButtonDown(window_, 620, 390), PressResult::Handled);
        } else {
            launchGame(window_);
        }
        const auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_FALSE(IsWindow(window_)) << "the launcher window stays after the start";
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 1400);
        EXPECT_TRUE(mutexExists());

        const auto record = waitForRecord(folder);
        ASSERT_EQ(record.count("mutex"), 1u) << "the stub game left no record";
        const std::string exe = narrow(folder + L"\\Main.exe");
        const std::string& commandLine = record.at("commandline");
        EXPECT_TRUE(commandLine == exe || commandLine == "\"" + exe + "\"")
            << "arguments passed: " << commandLine;
        EXPECT_EQ(record.at("cwd"), narrow(folder));
        EXPECT_EQ(record.at("mutex"), "held");
    }

    static int counter_;
    std::wstring originalDirectory_;
    std::wstring root_;
    HWND window_ = nullptr;
};

int GameLaunchTest::counter_ = 0;

}  // namespace

// Must run before any start in this process: the mutex, once made, is never
// closed, so its absence can only be seen first.
TEST_F(GameLaunchTest, AClosedGateCreatesNoMutexAndStartsNothing) {
    ASSERT_FALSE(mutexExists()) << "an earlier test in this process created the mutex";
    const std::wstring folder = enterGameFolder(L"gate");
    const bool gates[][2] = {{false, false}, {false, true}, {true, false}};
    for (const auto& gate : gates) {
        launcherState.updateFinished = gate[0];
        launcherState.updateSucceeded = gate[1];
        EXPECT_FALSE(gameStartAllowed());
        launchGame(window_);
        EXPECT_FALSE(mutexExists()) << gate[0] << gate[1];
        // Through the window's press handler START GAME only moves the window.
        EXPECT_EQ(handleLeftButtonDown(window_, 700, 420), PressResult::DragWindow);
        EXPECT_FALSE(mutexExists()) << gate[0] << gate[1];
        EXPECT_TRUE(windowUsable(window_)) << gate[0] << gate[1];
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(recordExists(folder));
}

TEST_F(GameLaunchTest, StartsMainExeWithoutArgumentsInTheCurrentDirectory) {
    expectStarted(enterGameFolder(L"game"));
}

TEST_F(GameLaunchTest, WithoutMainExeNothingStartsAndTheNextPressTriesAgain) {
    const std::wstring folder = enterGameFolder(L"empty", false);
    launchGame(window_);
    EXPECT_TRUE(windowUsable(window_));
    EXPECT_TRUE(mutexExists());
    EXPECT_FALSE(recordExists(folder));

    placeGame(folder);
    expectStarted(folder);
}

TEST_F(GameLaunchTest, APressOnStartGameStartsFromADirectoryWithSpaces) {
    expectStarted(enterGameFolder(L"My Games\\Tarsk Online"), true);
}

// The whole path comes back, not its first MAX_PATH characters; no process
// can be given it as working directory, so the start is refused quietly.
TEST_F(GameLaunchTest, ADirectoryLongerThanMaxPathIsReadWholeAndRefusedQuietly) {
    std::wstring relative;
    for (int i = 0; i < 6; ++i)
        relative += (i ? L"\\" : L"") + std::wstring(48, static_cast<wchar_t>(L'a' + i));
    const std::wstring folder = enterGameFolder(relative);
    ASSERT_GT(folder.size(), 300u);
    EXPECT_EQ(currentDirectory(), folder);

    launchGame(window_);
    EXPECT_TRUE(windowUsable(window_));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(recordExists(folder));
}
