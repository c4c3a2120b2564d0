#include "updater/Manifest.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include "core/SupportLog.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string upperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// Windows maps these names to devices in every folder, whatever the extension
// and with trailing blanks before it ("con .txt" is CON).
bool isReservedDeviceName(const std::string& segment) {
    std::string base = segment.substr(0, segment.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    base = upperAscii(base);
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : fixed) {
        if (base == name) return true;
    }
    if (base.size() >= 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
        const std::string digit = base.substr(3);
        if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
        // Superscript one to three are reserved too.
        if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
    }
    return false;
}

// Code units of valid UTF-8 text once in UTF-16: one per sequence, two for
// the four-byte ones.
std::size_t utf16Length(const std::string& text) {
    std::size_t units = 0;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        units += (byte & 0xC0u) != 0x80u;
        units += byte >= 0xF0u;
    }
    return units;
}

constexpr std::size_t kMaxNamePart = 255;
constexpr std::size_t kStagingSuffixLength = sizeof kStagingSuffix - 1;

bool isSafeSegment(const std::string& segment) {
    if (segment.empty() || segment == "." || segment == "..") return false;
    // Windows drops a trailing dot or blank, so "a." would name the file "a".
    if (segment.back() == '.' || segment.back() == ' ') return false;
    if (isReservedDeviceName(segment)) return false;
    // Names are compared without regard to case on Windows.
    if (endsWith(upperAscii(segment), upperAscii(kStagingSuffix)) ||
        endsWith(upperAscii(segment), upperAscii(kOldLauncherSuffix))) {
        return false;
    }
    // The staging file's name must still fit in one name part.
    if (utf16Length(segment) > kMaxNamePart - kStagingSuffixLength) return false;
    return true;
}

// No control character and none of `refused` in `text`, and every part
// between its slashes (the empty ones too) passes `isSafePart`.
bool hasSafeParts(const std::string& text, const char* refused,
                  bool (*isSafePart)(const std::string&)) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || std::string(refused).find(c) != std::string::npos) {
            return false;
        }
    }
    for (std::size_t start = 0, slash = 0; slash != std::string::npos; start = slash + 1) {
        slash = text.find('/', start);
        if (!isSafePart(text.substr(start, slash == std::string::npos ? slash : slash - start))) {
            return false;
        }
    }
    return true;
}

// `decoded` is `path` in UTF-16, empty when it is not UTF-8. The launcher's
// log, its older generation and its verification records are its own.
bool isSafePath(const std::string& path, const std::wstring& decoded) {
    if (path.empty() || decoded.empty()) return false;
    if (upperAscii(path) == upperAscii(kLogName) || upperAscii(path) == upperAscii(kOldLogName) ||
        upperAscii(path) == upperAscii(kRecordsName)) {
        return false;
    }
    // Colons make drive letters and alternate streams; the rest are
    // characters that Windows refuses in names.
    return hasSafeParts(path, "\\:*?\"<>|", isSafeSegment);
}

bool readSize(const nlohmann::json& value, std::uint64_t& size) {
    if (value.is_number_unsigned()) {
        size = value.get<std::uint64_t>();
        return true;
    }
    if (value.is_number_integer()) {
        const std::int64_t signedSize = value.get<std::int64_t>();
        if (signedSize < 0) return false;
        size = static_cast<std::uint64_t>(signedSize);
        return true;
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        // 2^64 itself does not fit; NaN fails every comparison; 1.9 is no size.
        if (!(d >= 0.0 && d < 18446744073709551616.0) || d != std::trunc(d)) return false;
        size = static_cast<std::uint64_t>(d);
        return true;
    }
    return false;
}

bool readEntry(const nlohmann::json& entry, ManifestEntry& out) {
    if (!entry.is_object()) return false;
    const auto path = entry.find("path");
    const auto hash = entry.find("hash");
    const auto size = entry.find("size");
    if (path == entry.end() || hash == entry.end() || size == entry.end()) return false;
    if (!path->is_string() || !hash->is_string()) return false;
    std::uint64_t bytes = 0;
    if (!readSize(*size, bytes)) return false;
    out = ManifestEntry(path->get<std::string>(), hash->get<std::string>(), bytes);
    if (!isHexDigest(out.hash) || !isSafePath(out.path, out.localPath)) return false;
    // A block list the launcher cannot use is no reason to refuse the file:
    // it is fetched whole, as by a launcher that knows no block lists.
    const auto blocks = entry.find("blocks");
    if (blocks != entry.end() && blocks->is_object()) {
        const auto listSize = blocks->find("size");
        const auto listHash = blocks->find("hash");
        if (listSize != blocks->end() && listHash != blocks->end() && listHash->is_string() &&
            readSize(*listSize, out.blocksSize) && isHexDigest(listHash->get<std::string>())) {
            out.blocksHash = listHash->get<std::string>();
        } else {
            out.blocksSize = 0;
        }
    }
    // The same for a compressed copy: the raw object is fetched.
    const auto gzip = entry.find("gzip");
    if (gzip != entry.end() && gzip->is_object()) {
        const auto compressed = gzip->find("size");
        if (compressed == gzip->end() || !readSize(*compressed, out.gzipSize)) out.gzipSize = 0;
    }
    return true;
}

// Objects are named by their digest in lowercase, under a folder of its two
// first digits.
std::string objectName(const std::string& folder, std::string hash) {
    for (char& c : hash) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return folder + "/" + hash.substr(0, 2) + "/" + hash;
}

bool readManifestDocument(const std::string& text, std::vector<ManifestEntry>& entries) {
    if (jsonNestingDepth(text, kMaxManifestDepth) > kMaxManifestDepth) return false;
    const nlohmann::json root = nlohmann::json::parse(text);
    if (root.is_null()) return true;
    if (!root.is_object()) return false;
    std::string objects;
    if (const auto folder = root.find("objects"); folder != root.end()) {
        if (!folder->is_string() || !isSafeObjectFolder(folder->get<std::string>())) return false;
        objects = folder->get<std::string>();
    }
    const auto files = root.find("files");
    if (files == root.end() || files->is_null()) return true;
    // An object's members are walked in ascending byte order of their keys,
    // which is the order the library keeps them in.
    if (!files->is_array() && !files->is_object()) return false;
    entries.reserve(files->size());
    for (const auto& entry : *files) {
        ManifestEntry read;
        if (!readEntry(entry, read)) return false;
        if (!objects.empty()) read.object = objectName(objects, read.hash);
        entries.push_back(std::move(read));
    }
    return namesAreDistinct(entries);
}

}  // namespace

bool readManifest(const std::string& text, std::vector<ManifestEntry>& entries) {
    entries.clear();
    try {
        if (readManifestDocument(text, entries)) return true;
    } catch (const std::exception&) {
        // Syntax errors and documents too large for memory end the same way.
    }
    entries.clear();
    return false;
}

bool decodeUtf8(const std::string& text, std::wstring& wide) {
    wide.clear();
    wide.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = 0;
        std::size_t length = 0;
        if (lead < 0x80) {
            code = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            code = lead & 0x1Fu;
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            code = lead & 0x0Fu;
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            code = lead & 0x07u;
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
        if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FFu)));
        } else {
            wide.push_back(static_cast<wchar_t>(code));
        }
        i += length;
    }
    return true;
}

std::wstring widenForDisplay(const std::string& text) {
    std::wstring wide;
    if (decodeUtf8(text, wide)) return wide;
    wide.clear();
    for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

ManifestEntry::ManifestEntry(std::string written, std::string digest, std::uint64_t bytes)
    : path(std::move(written)), hash(std::move(digest)), size(bytes) {
    if (!decodeUtf8(path, localPath)) localPath.clear();
}

bool isSafeManifestPath(const std::string& path) {
    std::wstring decoded;
    return decodeUtf8(path, decoded) && isSafePath(path, decoded);
}

bool isSafeObjectFolder(const std::string& folder) {
    std::wstring decoded;
    if (folder.empty() || folder.size() > 200 || !decodeUtf8(folder, decoded)) return false;
    // Every part a name: no empty one (which leading, trailing and doubled
    // slashes make), no "." or "..".
    return hasSafeParts(folder, "\\?#%", [](const std::string& part) {
        return !part.empty() && part != "." && part != "..";
    });
}

bool namesAreDistinct(const std::vector<ManifestEntry>& entries) {
    // Every entry's path and every folder on it, sorted without regard to
    // case, so that names Windows takes for one are neighbours.
    struct Name {
        std::wstring text;
        bool folder;
    };
    std::vector<Name> names;
    for (const ManifestEntry& entry : entries) {
        const std::wstring& path = entry.localPath;
        for (std::size_t slash = path.find(L'/'); slash != std::wstring::npos;
             slash = path.find(L'/', slash + 1)) {
            names.push_back({path.substr(0, slash), true});
        }
        names.push_back({path, false});
    }
    const auto compare = [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                    static_cast<int>(b.size()), TRUE);
    };
    std::sort(names.begin(), names.end(), [&](const Name& a, const Name& b) {
        const int order = compare(a.text, b.text);
        return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : a.folder < b.folder;
    });
    for (std::size_t i = 1; i < names.size(); ++i) {
        // Two entries under one folder share it; anything else is one name twice.
        if (compare(names[i - 1].text, names[i].text) == CSTR_EQUAL &&
            !(names[i - 1].folder && names[i].folder)) {
            return false;
        }
    }
    return true;
}

bool pathsFitFolder(const std::vector<ManifestEntry>& entries, std::size_t folderLength) {
    // The folder, a backslash, the path and the suffix, and the terminator.
    return std::all_of(entries.begin(), entries.end(), [&](const ManifestEntry& entry) {
        return folderLength + 1 + entry.localPath.size() + kStagingSuffixLength < MAX_PATH;
    });
}

bool isHexDigest(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

bool sameDigest(const std::string& a, const std::string& b) {
    if (!isHexDigest(a) || !isHexDigest(b)) return false;
    return upperAscii(a) == upperAscii(b);
}

int jsonNestingDepth(const std::string& text, int limit) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = (std::max)(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}
