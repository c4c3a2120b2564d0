// File-system helpers shared by the test binaries.
#pragma once

#include <windows.h>

#include <string>

// Paths past MAX_PATH need the \\?\ form for the file functions; it only
// applies to absolute drive paths.
inline std::wstring extendedPath(const std::wstring& path) {
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
    const bool absolute = path.size() > 2 && path[1] == L':' && path[2] == L'\\';
    return absolute ? L"\\\\?\\" + path : path;
}

// Removes a folder and everything below it, read-only files included.
inline void removeTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(extendedPath(path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(child);
            } else {
                SetFileAttributesW(extendedPath(child).c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(extendedPath(child).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(extendedPath(path).c_str());
}
