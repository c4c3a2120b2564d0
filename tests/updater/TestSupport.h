// Helpers shared by the updater tests: the test server's folder, sandbox
// game folders, files and manifests.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "updater/FileHasher.h"
#include "updater/Manifest.h"
#include "support/FileTree.h"

namespace testing_support {

inline constexpr char kHost[] = "127.0.0.1";
// Nothing listens there inside the test namespace.
inline constexpr char kDeadHost[] = "127.0.0.9";

// Byte i is (i * 31 + i / 8192) mod 256: a pattern that changes every block.
inline std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + (i >> 13)) & 0xFF);
    }
    return bytes;
}

inline std::string sha256Of(const std::string& bytes) {
    Sha256 sha;
    sha.update(bytes.data(), bytes.size());
    return sha.hexDigest();
}

inline std::wstring widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

inline bool writeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// The file's bytes, or "<missing>" when it cannot be read.
inline std::string readFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char block[65536];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof block, &read, nullptr) && read > 0)
        bytes.append(block, read);
    CloseHandle(file);
    return bytes;
}

// The size of a file even while another process holds it without sharing.
inline std::uint64_t sizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Kernel handles open in this process, found by probing handle values
// (GetProcessHandleCount is a stub under Wine).
inline int openHandleCount() {
    int count = 0;
    for (std::uintptr_t value = 4; value < 0x20000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every file under path, relative name -> content; folders as name + "/".
inline void snapshot(const std::wstring& path, const std::wstring& prefix,
                     std::map<std::wstring, std::string>& out) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[prefix + name + L"/"] = "";
            snapshot(path + L"\\" + name, prefix + name + L"/", out);
        } else {
            out[prefix + name] = readFile(path + L"\\" + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

inline std::map<std::wstring, std::string> snapshot(const std::wstring& path) {
    std::map<std::wstring, std::string> out;
    snapshot(path, L"", out);
    return out;
}

// The folder the test patch server serves (from UPDATER_TEST_WWW).
inline std::wstring wwwRoot() {
    const char* unixPath = std::getenv("UPDATER_TEST_WWW");
    if (!unixPath) return L"";
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p)
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
    return path;
}

inline bool serverAvailable() {
    return !wwwRoot().empty();
}

// Publishes bytes at URL path "/<relative>" on the test server.
inline void publish(const std::string& relative, const std::string& bytes) {
    const std::wstring path = wwwRoot();
    std::string built;
    for (char c : relative) {
        if (c == '/') {
            CreateDirectoryW((path + L"\\" + widenForDisplay(built)).c_str(), nullptr);
        }
        built.push_back(c == '/' ? '\\' : c);
    }
    ASSERT_TRUE(writeFile(path + L"\\" + widenForDisplay(built), bytes)) << relative;
}

inline void clearRequestLog() {
    DeleteFileW((wwwRoot() + L"\\requests.log").c_str());
}

// The request paths the server has seen since the last clearRequestLog.
inline std::vector<std::string> requestLog() {
    const std::string text = readFile(wwwRoot() + L"\\requests.log");
    std::vector<std::string> lines;
    if (text == "<missing>") return lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

struct FileSpec {
    std::string path;
    std::string content;
};

inline std::string entryJson(const std::string& path, const std::string& hash,
                             const std::string& size) {
    return "{\"path\": \"" + path + "\", \"hash\": \"" + hash + "\", \"size\": " + size + "}";
}

inline std::string manifestFor(const std::vector<FileSpec>& files) {
    std::string text = "{\"files\": [";
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i) text += ", ";
        text += entryJson(files[i].path, sha256Of(files[i].content),
                          std::to_string(files[i].content.size()));
    }
    return text + "]}";
}

// A fresh game folder under the build folder, made the current directory for
// the test's lifetime. Beside it lies "outside" with one file, so a test can
// show that nothing out of the game folder was touched.
class Sandbox {
public:
    explicit Sandbox(const std::string& name) {
        wchar_t cwd[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwd);
        previous_ = cwd;
        root_ = previous_ + L"\\tests\\updater-sandbox\\" + widen(name);
        CreateDirectoryW((previous_ + L"\\tests").c_str(), nullptr);
        CreateDirectoryW((previous_ + L"\\tests\\updater-sandbox").c_str(), nullptr);
        removeTree(root_);
        CreateDirectoryW(root_.c_str(), nullptr);
        CreateDirectoryW(game().c_str(), nullptr);
        CreateDirectoryW((root_ + L"\\outside").c_str(), nullptr);
        writeFile(root_ + L"\\outside\\keep.txt", "keep");
        SetCurrentDirectoryW(game().c_str());
    }
    ~Sandbox() {
        SetCurrentDirectoryW(previous_.c_str());
        removeTree(root_);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::wstring root() const { return root_; }
    std::wstring game() const { return root_ + L"\\game"; }
    std::wstring at(const std::string& relative) const {
        std::wstring path = game() + L"\\" + widenForDisplay(relative);
        std::replace(path.begin(), path.end(), L'/', L'\\');
        return path;
    }
    void put(const std::string& relative, const std::string& bytes) const {
        ASSERT_TRUE(writeFile(at(relative), bytes)) << relative;
    }
    std::string content(const std::string& relative) const { return readFile(at(relative)); }

private:
    std::wstring previous_;
    std::wstring root_;
};

}  // namespace testing_support

#define REQUIRE_SERVER()                                                  \
    if (!testing_support::serverAvailable()) {                            \
        GTEST_FAIL() << "UPDATER_TEST_WWW is not set: run through ctest"; \
    }
