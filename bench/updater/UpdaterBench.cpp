// Updater benchmark: each stage times the updater's operation and a plain
// loop over the same bytes, side by side in one run, and prints the ratio.
// Run through bench/updater/run.sh (it starts the test patch server).
// Usage: updater_bench STAGE   (hash | pass | download | small | cut | peak | far | records)
// Env: UPDATER_TEST_WWW = the server's folder, BENCH_WORK = a scratch folder.
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Handles.h"
#include "updater/FileHasher.h"
#include "updater/Updater.h"
#include "updater/VerificationRecords.h"

namespace {

// The benchmark's manifests are not signed.
Updater unsignedUpdater(const std::string& basePath, ProgressCallback progress) {
    Updater updater{"127.0.0.1", basePath, false, std::move(progress), {}, {}, ManifestTrust{}};
    return updater;
}

}  // namespace

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr DWORD kRawBlock = 1024 * 1024;

std::wstring fromEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value) {
        std::fprintf(stderr, "%s is not set\n", name);
        std::exit(2);
    }
    std::wstring path = L"Z:";
    for (const char* p = value; *p; ++p)
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
    return path;
}

int popcount(DWORD_PTR mask) {
    int n = 0;
    for (; mask != 0; mask &= mask - 1) ++n;
    return n;
}

double now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename F>
double seconds(F&& run) {
    const double start = now();
    run();
    return now() - start;
}

struct Best {
    double raw = 1e30;
    double ours = 1e30;
};

// Rounds, each timing the raw way and then ours after an untimed `reset`;
// the best of each counts.
template <typename Reset, typename Raw, typename Ours>
Best bestOfRounds(const char* oursName, Reset&& reset, Raw&& raw, Ours&& ours, int rounds = 5,
                  const char* rawName = "raw") {
    Best best;
    for (int i = 0; i < rounds; ++i) {
        reset();
        const double r = seconds(raw);
        const double o = seconds(ours);
        std::printf("  run %d: %s %.3f s, %s %.3f s\n", i + 1, rawName, r, oursName, o);
        best.raw = std::min(best.raw, r);
        best.ours = std::min(best.ours, o);
    }
    return best;
}

// Writes `size` bytes of a pattern that differs per file and per block, and
// returns their digest.
std::string writePattern(const std::wstring& path, std::uint64_t size, unsigned seed) {
    std::vector<char> block(kMiB);
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) {
        std::fprintf(stderr, "cannot write %ls\n", path.c_str());
        std::exit(1);
    }
    Sha256 sha;
    for (std::uint64_t at = 0; at < size; at += block.size()) {
        for (std::size_t i = 0; i < block.size(); i += 64) {
            block[i] = static_cast<char>(seed * 131 + (at >> 20) * 7 + i);
        }
        const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>(block.size(), size - at));
        DWORD written = 0;
        WriteFile(file.get(), block.data(), n, &written, nullptr);
        sha.update(block.data(), n);
    }
    return sha.hexDigest();
}

// The plain loop: one provider, 1 MiB reads, CryptHashData.
bool rawHash(HCRYPTPROV provider, const std::wstring& path, std::vector<BYTE>& buffer) {
    UniqueCryptHash hash;
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, hash.put())) return false;
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    DWORD read = 0;
    while (ReadFile(file.get(), buffer.data(), kRawBlock, &read, nullptr) && read > 0) {
        CryptHashData(hash.get(), buffer.data(), read, 0);
    }
    BYTE digest[32];
    DWORD length = sizeof digest;
    return CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &length, 0) != FALSE;
}

// One session and connection to the test server, as the raw loops use them.
struct RawConnection {
    UniqueInternet session{WinHttpOpen(L"Launcher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    UniqueInternet connection{WinHttpConnect(session.get(), L"127.0.0.1", 80, 0)};
};

// The plain loop: WinHTTP GET, each available chunk written to the file
// (flushed to disk when `flush`), over `via` or a session of its own.
bool rawDownload(const std::wstring& url, const std::wstring& path, bool flush = false,
                 const RawConnection* via = nullptr) {
    RawConnection own;
    if (!via) via = &own;
    UniqueInternet request(WinHttpOpenRequest(via->connection.get(), L"GET", url.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request || !WinHttpSendRequest(request.get(), nullptr, 0, nullptr, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<char> buffer;
    DWORD available = 0;
    while (WinHttpQueryDataAvailable(request.get(), &available) && available > 0) {
        buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), available, &read)) return false;
        DWORD written = 0;
        WriteFile(file.get(), buffer.data(), read, &written, nullptr);
    }
    return !flush || FlushFileBuffers(file.get());
}

void writeText(const std::wstring& path, const std::string& text) {
    UniqueFile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string entry(const std::string& path, const std::string& hash, std::uint64_t size) {
    return "{\"path\": \"" + path + "\", \"hash\": \"" + hash +
           "\", \"size\": " + std::to_string(size) + "}";
}

// Publishes file i of `size` bytes under www\tree, 500 to a folder, adds its
// entry to `manifest` and returns its name.
std::string publishNumbered(const std::wstring& www, const std::wstring& tree, int i,
                            std::uint64_t size, std::string& manifest) {
    const std::string folder = "d" + std::to_string(i / 500);
    const std::string name = folder + "/f" + std::to_string(i) + ".bin";
    const std::wstring root = www + L"\\" + tree + L"\\";
    CreateDirectoryW((root + std::wstring(folder.begin(), folder.end())).c_str(), nullptr);
    std::wstring path = root + std::wstring(name.begin(), name.end());
    std::replace(path.begin(), path.end(), L'/', L'\\');
    manifest += (i ? ", " : "") + entry(name, writePattern(path, size, i), size);
    return name;
}

// A target of 0 prints the ratio for reference only.
void ratio(const char* what, double measured, const char* against, double base, double target) {
    std::printf("%-34s %8.3f s  vs %-26s %8.3f s  ratio %.3f", what, measured, against, base,
                measured / base);
    std::printf(target > 0 ? " (target <= %.2f)\n" : "\n", target);
}

int stageHash(const std::wstring& work) {
    const std::wstring file = work + L"\\hash-256MiB.bin";
    writePattern(file, 256 * kMiB, 1);
    std::vector<BYTE> buffer(kRawBlock);
    UniqueCryptContext provider;
    CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    rawHash(provider.get(), file, buffer);  // warm the page cache
    const Best best = bestOfRounds(
        "hashFile", [] {}, [&] { rawHash(provider.get(), file, buffer); }, [&] { hashFile(file); });
    ratio("hashFile, 256 MiB", best.ours, "raw CryptoAPI loop", best.raw, 1.10);
    std::printf("RAW_CRYPTOAPI_SECONDS %.6f\n", best.raw);
    return 0;
}

int stagePass(const std::wstring& www, const std::wstring& work) {
    const std::wstring game = work + L"\\nochange";
    CreateDirectoryW(game.c_str(), nullptr);
    CreateDirectoryW((www + L"\\nochange").c_str(), nullptr);
    std::string manifest = "{\"files\": [";
    std::vector<std::wstring> files;
    constexpr int kFiles = 2000;
    constexpr std::uint64_t kEach = 512 * 1024;  // 2,000 x 512 KiB = 1000 MiB
    for (int i = 0; i < kFiles; ++i) {
        const std::string folder = "d" + std::to_string(i / 100);
        CreateDirectoryW((game + L"\\" + std::wstring(folder.begin(), folder.end())).c_str(),
                         nullptr);
        const std::string name = folder + "/f" + std::to_string(i) + ".bin";
        std::wstring path = game + L"\\" + std::wstring(name.begin(), name.end());
        std::replace(path.begin(), path.end(), L'/', L'\\');
        const std::string digest = writePattern(path, kEach, static_cast<unsigned>(i));
        manifest += (i ? ", " : "") + entry(name, digest, kEach);
        files.push_back(path);
    }
    writeText(www + L"\\nochange\\manifest.json", manifest + "]}");
    SetCurrentDirectoryW(game.c_str());
    Updater updater = unsignedUpdater("/nochange/", nullptr);
    updater.verifyAll = true;  // every file read, as this stage compares
    std::vector<BYTE> buffer(kRawBlock);
    UniqueCryptContext provider;
    CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    bool ok = true;
    const auto rounds = [&] {
        return bestOfRounds(
            "pass", [] {},
            [&] {
                for (const std::wstring& f : files) rawHash(provider.get(), f, buffer);
            },
            [&] { ok = updater.runPass() == UpdateFailure::None && ok; });
    };
    DWORD_PTR process = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
    std::printf("  all %d cores of the process:\n", popcount(process));
    const Best all = rounds();
    // The pass sizes its pool by the process's cores: one core, no pool.
    SetProcessAffinityMask(GetCurrentProcess(), 1);
    std::printf("  1 core forced:\n");
    const Best one = rounds();
    if (!ok) std::printf("(a no-change pass FAILED)\n");
    ratio("no-change pass, 2000 files 1000 MiB", all.ours, "raw hashing, one thread", all.raw,
          0.65);
    ratio("the same, 1 core forced", one.ours, "raw hashing, one thread", one.raw, 1.05);
    return 0;
}

// Serves one file of `size` bytes as `site`/`name` with its manifest, and
// makes `game` an empty current folder; returns the file's digest.
std::string publishOneFile(const std::wstring& www, const std::wstring& site,
                           const std::string& name, std::uint64_t size, unsigned seed,
                           const std::wstring& game) {
    CreateDirectoryW(game.c_str(), nullptr);
    CreateDirectoryW((www + L"\\" + site).c_str(), nullptr);
    const std::string digest = writePattern(
        www + L"\\" + site + L"\\" + std::wstring(name.begin(), name.end()), size, seed);
    writeText(www + L"\\" + site + L"\\manifest.json",
              "{\"files\": [" + entry(name, digest, size) + "]}");
    SetCurrentDirectoryW(game.c_str());
    return digest;
}

int stageDownload(const std::wstring& www, const std::wstring& work) {
    const std::wstring game = work + L"\\download";
    const std::string digest = publishOneFile(www, L"dl", "big.bin", 256 * kMiB, 7, game);
    const Updater updater = unsignedUpdater("/dl/", [](std::int32_t, const std::string&) {});
    rawDownload(L"/dl/big.bin", game + L"\\raw.bin");  // warm the server's page cache
    bool ok = true;
    const Best best = bestOfRounds(
        "pass",
        [&] {
            DeleteFileW((game + L"\\raw.bin").c_str());
            DeleteFileW((game + L"\\big.bin").c_str());
        },
        [&] { rawDownload(L"/dl/big.bin", game + L"\\raw.bin"); },
        [&] { ok = updater.runPass() == UpdateFailure::None && ok; });
    if (!ok || hashFile(game + L"\\big.bin") != digest) std::printf("(the download pass FAILED)\n");
    ratio("download pass, 256 MiB", best.ours, "raw WinHTTP read/write loop", best.raw, 1.35);
    DeleteFileW((game + L"\\raw.bin").c_str());
    const double flushed = seconds([&] { rawDownload(L"/dl/big.bin", game + L"\\raw.bin", true); });
    ratio("  raw loop with FlushFileBuffers", flushed, "raw WinHTTP read/write loop", best.raw, 0);
    return 0;
}

// Bytes of response bodies the test server has sent so far.
double serverSent(const std::wstring& www) {
    UniqueFile file(CreateFileW((www + L"\\requests.log.stats").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    char text[128] = {};
    DWORD read = 0;
    ReadFile(file.get(), text, sizeof text - 1, &read, nullptr);
    long long connections = 0, sent = 0;
    std::sscanf(text, "connections %lld sent %lld", &connections, &sent);
    return static_cast<double>(sent);
}

// A fresh install of many small files: the pass against a raw loop over one
// reused connection; the flush and a session per file (the launcher's old
// way) measured beside it.
int stageSmall(const std::wstring& www, const std::wstring& work) {
    constexpr int kFiles = 5000;
    constexpr std::uint64_t kEach = 4096;
    const std::wstring game = work + L"\\small", raw = work + L"\\small-raw";
    CreateDirectoryW((www + L"\\small").c_str(), nullptr);
    std::string manifest = "{\"files\": [";
    std::vector<std::wstring> urls;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = publishNumbered(www, L"small", i, kEach, manifest);
        urls.push_back(L"/small/" + std::wstring(name.begin(), name.end()));
    }
    writeText(www + L"\\small\\manifest.json", manifest + "]}");
    const Updater updater = unsignedUpdater("/small/", nullptr);
    const RawConnection connection;
    auto rawLoop = [&](bool flush, bool reuse) {
        for (int i = 0; i < kFiles; ++i)
            rawDownload(urls[i], raw + L"\\f" + std::to_wstring(i) + L".bin", flush,
                        reuse ? &connection : nullptr);
    };
    auto reset = [&] {
        std::error_code error;
        std::filesystem::remove_all(game, error);
        std::filesystem::remove_all(raw, error);
        CreateDirectoryW(game.c_str(), nullptr);
        CreateDirectoryW(raw.c_str(), nullptr);
        SetCurrentDirectoryW(game.c_str());
    };
    bool ok = true;
    const Best best = bestOfRounds(
        "pass", reset, [&] { rawLoop(false, true); },
        [&] { ok = updater.runPass() == UpdateFailure::None && ok; }, 3);
    if (!ok) std::printf("(the fresh-install pass FAILED)\n");
    ratio("fresh install, 5000 x 4 KiB", best.ours, "raw loop, one connection", best.raw, 1.25);
    reset();
    ratio("  raw loop with FlushFileBuffers", seconds([&] { rawLoop(true, true); }),
          "raw loop, one connection", best.raw, 0);
    reset();
    ratio("  raw loop, a session per file", seconds([&] { rawLoop(false, false); }),
          "raw loop, one connection", best.raw, 0);
    SetCurrentDirectoryW(work.c_str());
    return ok ? 0 : 1;
}

// A download whose connection is reset once at half: the retry asks for the
// rest only.
int stageCut(const std::wstring& www, const std::wstring& work) {
    constexpr std::uint64_t kSize = 256 * kMiB;
    const std::wstring game = work + L"\\cut";
    const std::string digest = publishOneFile(www, L"cut", "big.bin", kSize, 11, game);
    writeText(www + L"\\cut\\big.bin.how", "reset=" + std::to_string(kSize / 2) + "\nfirst=1\n");
    const Updater updater = unsignedUpdater("/cut/", [](std::int32_t, const std::string&) {});
    const double before = serverSent(www);
    const bool ok =
        updater.runPass() == UpdateFailure::None && hashFile(game + L"\\big.bin") == digest;
    const double sent = serverSent(www) - before - 200;  // less the manifest
    std::printf("%-34s %s; body bytes sent %.0f = %.3f x the file (target <= 1.05)\n",
                "download cut once at half, 256 MiB", ok ? "verified" : "FAILED", sent,
                sent / static_cast<double>(kSize));
    return ok ? 0 : 1;
}

// A fresh install of 5,000 files of 1-64 KiB from a server 40 ms away (the
// test server waits that long before each answer), then from one without
// delay: the pass with its pool of connections against the pass with one, and
// against the ideal: every request's 40 ms spread over the pool, plus the
// bytes at the raw loopback rate (one connection, a 64 MiB file).
int stageFar(const std::wstring& www, const std::wstring& work) {
    constexpr int kFiles = 5000;
    constexpr double kDelay = 0.040;
    const std::wstring game = work + L"\\far";
    CreateDirectoryW((www + L"\\far").c_str(), nullptr);
    std::string manifest = "{\"files\": [";
    std::uint64_t bytes = 0;
    for (int i = 0; i < kFiles; ++i) {
        const std::uint64_t size = 1024 + (static_cast<std::uint64_t>(i) * 2654435761u) % (63 * 1024);
        publishNumbered(www, L"far", i, size, manifest);
        bytes += size;
    }
    writeText(www + L"\\far\\manifest.json", manifest + "]}");
    const std::wstring big = www + L"\\far-big.bin";
    writePattern(big, 64 * kMiB, 3);
    const RawConnection connection;
    const double raw = seconds([&] { rawDownload(L"/far-big.bin", work + L"\\far-big.bin", false, &connection); });
    const double rate = 64.0 * kMiB / raw;
    bool ok = true;
    const auto pass = [&](const char* base, int connections) {
        std::error_code error;
        std::filesystem::remove_all(game, error);
        CreateDirectoryW(game.c_str(), nullptr);
        SetCurrentDirectoryW(game.c_str());
        Updater updater = unsignedUpdater(base, nullptr);
        updater.limits.connections = connections;
        const double took = seconds([&] { ok = updater.runPass() == UpdateFailure::None && ok; });
        SetCurrentDirectoryW(work.c_str());
        return took;
    };
    const double farPool = pass("/~rtt=40/far/", 6), farOne = pass("/~rtt=40/far/", 1);
    const double ideal = (kFiles + 1) * kDelay / 6 + static_cast<double>(bytes) / rate;
    std::printf("fresh install, 5000 files of 1-64 KiB (%.0f MiB), 40 ms a request\n",
                static_cast<double>(bytes) / kMiB);
    ratio("  pool of 6", farPool, "one connection", farOne, 0.25);
    ratio("  pool of 6", farPool, "ideal (40 ms x requests / 6 + bytes at the raw rate)", ideal, 1.3);
    const double nearPool = pass("/far/", 6), nearOne = pass("/far/", 1);
    ratio("  no delay: pool of 6", nearPool, "one connection", nearOne, 1.05);
    if (!ok) std::printf("(a pass FAILED)\n");
    return ok ? 0 : 1;
}

int stagePeak(const std::wstring& www, const std::wstring& work) {
    const std::wstring game = work + L"\\peak";
    const std::string digest = publishOneFile(www, L"peak", "huge.bin", 1024 * kMiB, 9, game);
    PROCESS_MEMORY_COUNTERS before{};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    const Updater updater = unsignedUpdater("/peak/", [](std::int32_t, const std::string&) {});
    const double start = now();
    bool ok = updater.runPass() == UpdateFailure::None;
    const double took = now() - start;
    PROCESS_MEMORY_COUNTERS after{};
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    std::printf(
        "download pass, 1 GiB: %s in %.2f s; peak working set %.1f MiB "
        "(%.1f MiB before the pass; target < 32 MiB)\n",
        ok ? "verified" : "FAILED", took, after.PeakWorkingSetSize / double(kMiB),
        before.PeakWorkingSetSize / double(kMiB));
    // One big file takes one connection of the pool: the same pass on a pool
    // of one (a pass before the pool) takes as long.
    Updater alone = updater;
    alone.limits.connections = 1;
    const auto pass = [&ok](const Updater& u) { ok = u.runPass() == UpdateFailure::None && ok; };
    const Best best = bestOfRounds(
        "pool of 6", [&] { DeleteFileW((game + L"\\huge.bin").c_str()); },
        [&] {
            pass(alone);
            DeleteFileW((game + L"\\huge.bin").c_str());
        },
        [&] { pass(updater); }, 2, "pool of 1");
    ratio("  download pass, 1 GiB, pool of 6", best.ours, "pool of 1", best.raw, 1.05);
    return ok ? 0 : 1;
}

// The floor of a start with records: one metadata query per file, nothing else.
void statEvery(const std::vector<std::wstring>& files) {
    for (const std::wstring& path : files) {
        UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        GetFileInformationByHandle(file.get(), &info);
    }
}

// A current game folder `site` of `count` files of `size` bytes, 500 to a
// folder, its manifest served (the files are not); the files' paths.
std::vector<std::wstring> currentFolder(const std::wstring& www, const std::wstring& work,
                                        const std::wstring& site, int count, std::uint64_t size) {
    const std::wstring game = work + L"\\" + site;
    CreateDirectoryW(game.c_str(), nullptr);
    CreateDirectoryW((www + L"\\" + site).c_str(), nullptr);
    std::string manifest = "{\"files\": [";
    std::vector<std::wstring> files;
    for (int i = 0; i < count; ++i) {
        const std::string name = "d" + std::to_string(i / 500) + "/f" + std::to_string(i) + ".bin";
        std::wstring path = game + L"\\" + std::wstring(name.begin(), name.end());
        std::replace(path.begin(), path.end(), L'/', L'\\');
        if (i % 500 == 0) CreateDirectoryW(path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
        manifest += (i ? ", " : "") + entry(name, writePattern(path, size, static_cast<unsigned>(i)), size);
        files.push_back(path);
    }
    writeText(www + L"\\" + site + L"\\manifest.json", manifest + "]}");
    Sleep(2500);  // files written this recently get no record yet
    return files;
}

// A start with the records of the last one, beside the same start reading
// every file (--verify) and beside one metadata query per file; then the
// first start after one file changed in place.
int stageRecords(const std::wstring& www, const std::wstring& work) {
    bool ok = true;
    const auto measure = [&](const std::wstring& site, int count, std::uint64_t size, int rounds) {
        const std::vector<std::wstring> files = currentFolder(www, work, site, count, size);
        SetCurrentDirectoryW((work + L"\\" + site).c_str());
        Updater quick = unsignedUpdater("/" + std::string(site.begin(), site.end()) + "/", nullptr);
        Updater full = quick;
        full.verifyAll = true;
        const auto pass = [&ok](const Updater& u) { ok = u.runPass() == UpdateFailure::None && ok; };
        pass(full);  // the records, and the page cache as warm as it gets
        const CheckCounts before = checkCounts();
        const Best floor = bestOfRounds(
            "with records", [] {}, [&] { statEvery(files); }, [&] { pass(quick); }, rounds,
            "a query per file");
        const CheckCounts after = checkCounts();
        const std::string what = std::to_string(count) + " files " +
                                 std::to_string((count * size) >> 20) + " MiB, with records";
        ratio(what.c_str(), floor.ours, "one query per file", floor.raw, 1.5);
        std::printf("  files read by %d passes with records: %llu\n", rounds,
                    static_cast<unsigned long long>(after.hashed - before.hashed));
        const Best verify = bestOfRounds(
            "--verify", [] {}, [&] { pass(quick); }, [&] { pass(full); }, 2, "with records");
        ratio("  the same, --verify", verify.ours, "with records", verify.raw, 0);
        std::printf("  --verify / with records: %.1f times (target >= 20 for 4 GiB)\n",
                    verify.ours / verify.raw);
        return files;
    };
    const std::vector<std::wstring> big = measure(L"records-big", 4000, kMiB, 5);
    measure(L"records-small", 20000, 4096, 3);
    // File 1234 changed in place: its length kept, its bytes and write time
    // not; the original is served.
    SetCurrentDirectoryW((work + L"\\records-big").c_str());
    CreateDirectoryW((www + L"\\records-big\\d2").c_str(), nullptr);
    writePattern(www + L"\\records-big\\d2\\f1234.bin", kMiB, 1234);
    writePattern(big[1234], kMiB, 4321);
    const CheckCounts before = checkCounts();
    const double took = seconds([&] { ok = unsignedUpdater("/records-big/", nullptr).runPass() ==
                                               UpdateFailure::None && ok; });
    const CheckCounts after = checkCounts();
    std::printf("one file changed in place, 4000 files: %llu files read (%llu bytes) in %.3f s\n",
                static_cast<unsigned long long>(after.hashed - before.hashed),
                static_cast<unsigned long long>(after.bytesHashed - before.bytesHashed), took);
    if (!ok) std::printf("(a pass FAILED)\n");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: updater_bench hash|pass|download|small|cut|peak|far|records\n");
        return 2;
    }
    const std::wstring www = fromEnv("UPDATER_TEST_WWW");
    const std::wstring work = fromEnv("BENCH_WORK");
    const std::string stage = argv[1];
    if (stage == "hash") return stageHash(work);
    if (stage == "pass") return stagePass(www, work);
    if (stage == "download") return stageDownload(www, work);
    if (stage == "small") return stageSmall(www, work);
    if (stage == "cut") return stageCut(www, work);
    if (stage == "peak") return stagePeak(www, work);
    if (stage == "far") return stageFar(www, work);
    if (stage == "records") return stageRecords(www, work);
    return 2;
}
