// Helpers shared by the updater tests: the test server's folder, sandbox
// game folders, files and manifests.
#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/Handles.h"
#include "support/FileTree.h"
#include "updater/BlockMatcher.h"
#include "updater/FileHasher.h"
#include "updater/Manifest.h"
#include "updater/Updater.h"

namespace testing_support {

inline constexpr char kHost[] = "127.0.0.1";
inline constexpr char kDeadHost[] = "127.0.0.9";  // nothing listens there in the test namespace
inline const std::string kOld = "the old content, which must survive any failure";
using Requests = std::vector<std::string>;

// Byte i is (i * 31 + i / 8192) mod 256: a pattern that changes every block.
inline std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + (i >> 13)) & 0xFF);
    return bytes;
}

inline std::string sha256Of(const std::string& bytes) {
    Sha256 sha;
    sha.update(bytes.data(), bytes.size());
    return sha.hexDigest();
}

inline std::string md5Of(const std::string& bytes) {
    Md5 md5;
    md5.update(bytes.data(), bytes.size());
    return md5.bytes();
}

// `bytes` as one gzip member at the best level, as the operator's tool
// writes a compressed object.
inline std::string gzipOf(const std::string& bytes) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, uLong(bytes.size())), '\0');
    z.next_in = (Bytef*)bytes.data(), z.avail_in = uInt(bytes.size());
    z.next_out = (Bytef*)&out[0], z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

// Independent of the launcher's own decoder, so the tests can check it.
inline std::wstring fromUtf8(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    &wide[0], static_cast<int>(wide.size())));
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

inline bool writeFile(const std::wstring& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    return static_cast<bool>(out.write(bytes.data(), bytes.size()).flush());
}

// The file's bytes, or "<missing>" when it cannot be read.
inline std::string readFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

// Every file and folder under root with its content.
inline std::map<std::wstring, std::string> snapshot(const std::wstring& root) {
    std::map<std::wstring, std::string> out;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root))
        if (item.path().filename() != kRecordsName) out[item.path().wstring()] = item.is_directory() ? "<folder>" : readFile(item.path());
    return out;
}

// The folder the test patch server serves (UPDATER_TEST_WWW, set by run-with-server.sh).
inline std::wstring wwwRoot() {
    const char* unixPath = std::getenv("UPDATER_TEST_WWW");
    if (!unixPath) ADD_FAILURE() << "UPDATER_TEST_WWW is not set: run through ctest";
    return L"Z:" + fromUtf8(unixPath ? unixPath : "/nonexistent");
}

inline void clearRequestLog() {
    DeleteFileW((wwwRoot() + L"\\requests.log").c_str());
}

// The request paths the server has seen since the last clearRequestLog.
inline Requests requestLog() {
    std::istringstream text(readFile(wwwRoot() + L"\\requests.log"));
    Requests lines;
    for (std::string line; std::getline(text, line);)
        if (line != "<missing>") lines.push_back(line);
    return lines;
}

// The body bytes the server has sent and the most requests it answered at
// once since the request log was cleared; 0 before any.
inline std::pair<long, long> sentAndPeak() {
    long sent = 0, peak = 0;
    std::sscanf(readFile(wwwRoot() + L"\\requests.log.stats").c_str(),
                "connections %*ld sent %ld peak %ld", &sent, &peak);
    return {sent, peak};
}

// Only the manifest and its signature, whose bytes change under their names,
// ask caches to revalidate (since the last clearRequestLog); nothing asks for
// an encoding.
inline void expectOnlyDocumentsRevalidated(const std::string& context) {
    std::istringstream headers(readFile(wwwRoot() + L"\\requests.log.headers"));
    for (std::string line; std::getline(headers, line);)
        EXPECT_EQ(line.substr((std::min)(line.size(), line.rfind(" cache-control="))),
                  line.find("/manifest.json") != std::string::npos
                      ? " cache-control=no-cache accept-encoding=-"
                      : " cache-control=- accept-encoding=-")
            << context << ": " << line;
}

inline std::string littleEndian(std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

inline std::string unhex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::string blockListHeader(std::uint64_t blockSize, std::uint64_t fileSize, int weak = 3, int strong = 4) {
    return "ZBLK" + std::string{1, static_cast<char>(weak), static_cast<char>(strong), 0} +
           littleEndian(blockSize, 4) + littleEndian(fileSize, 8);
}

// The block list of `file`, written here from the format's description.
inline std::string blockListOf(const std::string& file, std::uint32_t blockSize = 1024, int weak = 3,
                        int strong = 4) {
    std::string list = blockListHeader(blockSize, file.size(), weak, strong);
    for (std::size_t at = 0; at < file.size(); at += blockSize) {
        std::string block = file.substr(at, blockSize);
        block.resize(blockSize, '\0');
        list += littleEndian(zlibCrc32(0, block.data(), block.size()), weak) +
                md5Of(block).substr(0, strong);
    }
    return list;
}

struct FileSpec {
    std::string path;
    std::string content;
    std::string blocks = "";  // its block list, for a delta
};

inline std::string entryJson(const std::string& path, const std::string& hash,
                             const std::string& size) {
    return "{\"path\": \"" + path + "\", \"hash\": \"" + hash + "\", \"size\": " + size + "}";
}

// An entry's "blocks" member for `list`, its size stated `sizeOff` bytes off.
inline std::string blocksJson(const std::string& list, std::int64_t sizeOff = 0) {
    return ", \"blocks\": {\"size\": " + std::to_string(static_cast<std::int64_t>(list.size()) + sizeOff) +
           ", \"hash\": \"" + sha256Of(list) + "\"}";
}

inline std::string manifestFor(const std::vector<FileSpec>& files) {
    std::string text = "{\"files\": [";
    for (const FileSpec& f : files)
        text += (&f == &files.front() ? "" : ", ") +
                entryJson(f.path, sha256Of(f.content),
                          std::to_string(f.content.size()) + (f.blocks.empty() ? "" : blocksJson(f.blocks)));
    return text + "]}";
}

// A fresh P-256 key pair standing in for the operator's.
class TestKey {
public:
    TestKey() {
        BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
        BCryptGenerateKeyPair(algorithm_.get(), key_.put(), 256, 0);
        BCryptFinalizeKeyPair(key_.get(), 0);
    }
    std::string publicKey() const {
        unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
        ULONG size = 0;
        BCryptExportKey(key_.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &size, 0);
        return std::string(reinterpret_cast<char*>(blob) + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    }
    // The signature file for `text`, as make-manifest writes it.
    std::string sign(const std::string& text) const {
        std::string digest;
        decodeHex(sha256Of(text), digest);
        unsigned char signature[64] = {};
        ULONG size = 0;
        BCryptSignHash(key_.get(), nullptr, reinterpret_cast<PUCHAR>(&digest[0]), 32, signature, 64,
                       &size, 0);
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char byte : signature) hex.append({digits[byte >> 4], digits[byte & 15]});
        return hex + "\n";
    }

private:
    UniqueAlgorithm algorithm_;
    UniqueBcryptKey key_;
};

// `manifest` with a signed build's "version" and "expires" (default: a day
// from now) first.
inline std::string withVersion(const std::string& manifest, long long version, long long until = 0) {
    return "{\"version\": " + std::to_string(version) + ", \"expires\": " +
           std::to_string(until ? until : std::time(nullptr) + 86400) + ", " + manifest.substr(1);
}

// One server folder "<name>" reached through base path "/<how><name>/", where
// `how` holds the server's "~" directives; progress reports are recorded.
struct PatchSite {
    std::string name, how;
    std::vector<std::pair<std::int32_t, std::string>> reports;

    explicit PatchSite(std::string site, std::string directives = "")
        : name(std::move(site)), how(std::move(directives)) {
        clearRequestLog();
    }
    void file(const std::string& path, const std::string& bytes) const {
        ASSERT_TRUE(writeFile(wwwRoot() + L"\\" + fromUtf8(name + "/" + path), bytes)) << path;
    }
    // A behaviour for one file only, as the server's "<file>.how" sidecar.
    void misbehave(const std::string& path, const std::string& directives) const {
        file(path + ".how", directives);
    }
    void manifest(const std::string& text) const { file("manifest.json", text); }
    // Unsigned, one try per request: these sites test the transfer and the
    // manifest's contents; retries and signatures have tests of their own.
    Updater updater(const std::string& host = kHost) {
        Updater u{host, "/" + how + name + "/", false,
                  [this](std::int32_t percent, const std::string& file) {
                      reports.emplace_back(percent, file);
                  }};
        u.limits.attempts = u.limits.maxTries = 1;
        u.limits.republishWaitMs = 10;
        u.limits.connections = 1;  // one file after another: the pool has tests of its own
        u.trust = ManifestTrust{};
        return u;
    }
    bool pass() { return updater().runPass() == UpdateFailure::None; }
    // Request paths with the base path removed.
    Requests requests() const {
        Requests seen;
        const std::string base = "/" + how + name + "/";
        for (const std::string& line : requestLog())
            seen.push_back(line.compare(0, base.size(), base) ? line : line.substr(base.size()));
        return seen;
    }
};

// A fresh game folder under the build folder, made the current directory for
// the test's lifetime. Beside it lies "outside" with one file, so a test can
// show that nothing out of the game folder was touched.
class Sandbox {
public:
    explicit Sandbox(const std::string& name, const wchar_t* under = L"updater-sandbox")
        : previous_(std::filesystem::current_path().wstring()),
          root_(previous_ + L"\\tests\\" + under + L"\\" + fromUtf8(name)) {
        removeTree(root_);
        writeFile(root_ + L"\\outside\\keep.txt", "keep");
        std::filesystem::create_directory(game());
        std::filesystem::current_path(game());
    }
    ~Sandbox() {
        std::filesystem::current_path(previous_);
        removeTree(root_);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    std::wstring root() const { return root_; }
    std::wstring game() const { return root_ + L"\\game"; }
    std::wstring at(const std::string& relative) const {
        return game() + L"\\" + fromUtf8(relative);
    }
    // Writes a file, making its folders; a path ending in "/" makes a folder.
    void put(const std::string& relative, const std::string& bytes) const {
        if (relative.back() == '/') return (void)std::filesystem::create_directories(at(relative));
        ASSERT_TRUE(writeFile(at(relative), bytes)) << relative;
    }
    std::string content(const std::string& relative) const { return readFile(at(relative)); }

private:
    std::wstring previous_;
    std::wstring root_;
};

}  // namespace testing_support
