#include "core/Process.h"

#include <cstring>

// Sized from what the system asks for, so a game folder deeper than
// MAX_PATH still yields its whole path. The directory may change between
// the two calls (another thread); then the size is asked for again.
std::wstring currentDirectory() {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD needed = GetCurrentDirectoryW(0, nullptr);
        if (needed == 0) return {};
        std::wstring directory(needed, L'\0');
        const DWORD written = GetCurrentDirectoryW(needed, &directory[0]);
        if (written == 0) return {};
        if (written < needed) {
            directory.resize(written);
            return directory;
        }
    }
    return {};
}

// GetModuleFileNameW cannot say how long the path is: it truncates to the
// buffer, so the buffer grows until the path fits.
std::wstring runningModulePath() {
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::wstring path(size, L'\0');
        const DWORD written = GetModuleFileNameW(nullptr, &path[0], size);
        if (written == 0) return {};
        if (written < size) {
            path.resize(written);
            return path;
        }
    }
    return {};
}

std::string launcherVersion() {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const auto* bytes = static_cast<const unsigned char*>(loaded ? LockResource(loaded) : nullptr);
    const DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
    // VS_FIXEDFILEINFO starts with its signature, DWORD-aligned.
    for (DWORD at = 0; bytes && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, bytes + at, sizeof info);
        if (info.dwSignature != 0xFEEF04BD) continue;
        return std::to_string(HIWORD(info.dwFileVersionMS)) + "." +
               std::to_string(LOWORD(info.dwFileVersionMS)) + "." +
               std::to_string(HIWORD(info.dwFileVersionLS)) + "." +
               std::to_string(LOWORD(info.dwFileVersionLS));
    }
    return "unknown";
}

bool startProgram(const std::wstring& program, const std::wstring& directory) {
    // A new process cannot be given a working directory of MAX_PATH
    // characters or more (Windows fails such a start; Wine corrupts its heap
    // trying).
    if (program.empty() || directory.empty() || directory.size() >= MAX_PATH) return false;
    // With no command line Windows passes the path unquoted, and a folder with
    // blanks reaches the program as several arguments. CreateProcessW may
    // write into the command line, so it is a copy.
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process)) {
        return false;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}
