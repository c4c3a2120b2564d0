// Block matcher benchmark: the scan's speed over a 256 MiB old copy on one
// and two threads, beside a plain read and a SHA-256 of the same bytes, the
// memory a 4 GiB file of 2^18 blocks costs, and the work a long zero run
// that the new file has shorter costs.
// Usage: block_bench FOLDER [speed|memory|padding]   (needs 300 MB there; the 4 GiB file is sparse)
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/Handles.h"
#include "updater/BlockMatcher.h"
#include "updater/FileHasher.h"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// CPU seconds the process has used, all threads: unlike the clock, the
// time other programs take on the shared cores does not count.
double cpu() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

double now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::uint64_t state = 88172645463325252ull;
unsigned char nextByte() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<unsigned char>(state >> 24);
}

UniqueFile create(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file) {
        std::fprintf(stderr, "cannot create %ls\n", path.c_str());
        std::exit(1);
    }
    return file;
}

// A list of `count` blocks of `size` bytes whose checksums match nothing.
BlockList randomList(std::uint32_t size, std::uint64_t count) {
    std::string bytes = "ZBLK";
    bytes += {1, 3, 2, 0};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(size >> (8 * i)));
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((count * size) >> (8 * i)));
    for (std::uint64_t i = 0; i < count * 5; ++i) bytes.push_back(static_cast<char>(nextByte()));
    BlockList list;
    if (!readBlockList(bytes, count * size, list)) std::printf("bad list\n");
    return list;
}

// 256 MiB of random bytes but for zeros in [zerosFrom, zerosTo).
UniqueFile oldCopy(const std::wstring& path, std::uint64_t zerosFrom = 0,
                   std::uint64_t zerosTo = 0) {
    UniqueFile old = create(path);
    std::vector<unsigned char> chunk(kMiB);
    for (std::uint64_t at = 0; at < 256 * kMiB; at += kMiB) {
        for (unsigned char& c : chunk) c = at >= zerosFrom && at < zerosTo ? 0 : nextByte();
        DWORD written = 0;
        WriteFile(old.get(), chunk.data(), kMiB, &written, nullptr);
    }
    return old;
}

// The list of the old copy's own bytes with those that `keep` refuses left
// out: what an edited file would list.
BlockList editedList(HANDLE old, std::uint64_t size, bool (*keep)(std::uint64_t at)) {
    std::vector<unsigned char> file(static_cast<std::size_t>(size));
    FileBlockSource source(old);
    source.read(0, file.data(), static_cast<std::uint32_t>(size));
    std::vector<unsigned char> edited;
    for (std::uint64_t at = 0; at < size; ++at)
        if (keep(at)) edited.push_back(file[at]);
    std::string bytes = "ZBLK";
    bytes += {1, 3, 2, 0, 0, 16, 0, 0};
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(edited.size() >> (8 * i)));
    for (std::size_t at = 0; at < edited.size(); at += 4096) {
        std::vector<unsigned char> block(edited.begin() + at,
                                         edited.begin() + std::min(edited.size(), at + 4096));
        block.resize(4096);
        const std::uint32_t weak = zlibCrc32(0, block.data(), block.size());
        bytes.append(reinterpret_cast<const char*>(&weak), 3);
        // The matcher's strong checksum: the first bytes of the block's MD5.
        Md5 md5;
        md5.update(block.data(), block.size());
        bytes += md5.bytes().substr(0, 2);
    }
    BlockList list;
    if (!readBlockList(bytes, edited.size(), list)) std::printf("bad list\n");
    return list;
}

// The best of `runs` scans: the machine is shared, the slower runs measure the others.
double scanSeconds(const BlockList& list, HANDLE old, int threads, std::uint64_t* found,
                   int runs = 3, double* cpuSeconds = nullptr, MatchWork* work = nullptr) {
    FileBlockSource source(old);
    std::vector<std::uint64_t> foundAt;
    double took = 1e9, used = 1e9;
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        const double start = now(), startCpu = cpu();
        ok = matchBlocks(list, source, threads, foundAt, work) && ok;
        took = std::min(took, now() - start);
        used = std::min(used, cpu() - startCpu);
    }
    if (cpuSeconds) *cpuSeconds = used;
    *found = 0;
    for (std::uint64_t at : foundAt) *found += at != kNotFound;
    if (!ok) std::printf("matchBlocks FAILED\n");
    return took;
}

// A 4 GiB file of holes but for its last MiB, and a list of 2^18 blocks of 16 KiB.
void memoryPeak(const std::wstring& folder) {
    std::vector<unsigned char> chunk(kMiB);
    for (unsigned char& c : chunk) c = nextByte();
    const UniqueFile big = create(folder + L"\\block-bench-sparse.bin");
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(4096 * kMiB - kMiB);
    SetFilePointerEx(big.get(), end, nullptr, FILE_BEGIN);
    DWORD written = 0;
    WriteFile(big.get(), chunk.data(), kMiB, &written, nullptr);
    const BlockList list = randomList(16384, kMaxBlockCount);
    PROCESS_MEMORY_COUNTERS before{}, after{};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    std::uint64_t found = 0;
    const double took = scanSeconds(list, big.get(), 2, &found, 1);
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    std::printf(
        "4 GiB sparse file, 2^18 blocks, 2 threads: %.1f s; peak working set %.1f MiB "
        "(%.1f MiB before; the list itself %.1f MiB)\n",
        took, static_cast<double>(after.PeakWorkingSetSize) / kMiB,
        static_cast<double>(before.PeakWorkingSetSize) / kMiB,
        static_cast<double>(list.records.size()) / kMiB);
}

void scanSpeed(const std::wstring& folder) {
    const std::uint64_t size = 256 * kMiB;
    const UniqueFile old = oldCopy(folder + L"\\block-bench-old.bin");
    std::vector<unsigned char> chunk(kMiB);
    const double mb = static_cast<double>(size) / 1e6;
    FileBlockSource source(old.get());
    double start = now();
    for (std::uint64_t at = 0; at < size; at += kMiB) source.read(at, chunk.data(), kMiB);
    const double read = now() - start;
    start = now();
    Sha256 sha;
    for (std::uint64_t at = 0; at < size; at += kMiB) {
        source.read(at, chunk.data(), kMiB);
        sha.update(chunk.data(), kMiB);
    }
    sha.hexDigest();
    const double hash = now() - start;
    // The least a scan costs: both registers rolled over bytes in memory.
    const RollingCrc32 crc(4096);
    std::vector<unsigned char> bytes(64 * kMiB + 8192);
    source.read(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    double bare = 1e9;
    std::uint32_t a = 0, b = 0;
    for (int run = 0; run < 3; ++run) {
        start = cpu();
        for (std::size_t k = 0; k + 8192 < bytes.size(); ++k) {
            a = crc.roll(a, bytes[k], bytes[k + 4096]);
            b = crc.roll(b, bytes[k + 4096], bytes[k + 8192]);
        }
        bare = std::min(bare, (cpu() - start) / 64.0 * 256.0);
    }
    std::printf(
        "256 MiB: ReadFile %.0f MB/s, CryptoAPI SHA-256 %.0f MB/s, two registers rolled "
        "in memory %.0f MB/s (%.2f ns a byte)%s\n",
        mb / read, mb / hash, mb / bare, bare * 1e9 / static_cast<double>(size),
        (a ^ b) == 1 ? " " : "");

    const BlockList nothing = randomList(4096, size / 4096);
    const BlockList edited = editedList(old.get(), size, [](std::uint64_t at) {
        return at % kMiB < 500000 || at % kMiB >= 500100;
    });
    for (int threads : {1, 2}) {
        std::uint64_t found = 0;
        double used = 0;
        const double other = scanSeconds(nothing, old.get(), threads, &found, 3, &used);
        std::printf(
            "scan, list of another file, %d thread(s): %.0f MB/s; CPU %.2f ns a byte, "
            "%.2f x the bare rolling's\n",
            threads, mb / other, used * 1e9 / static_cast<double>(size), used / bare);
        const double same = scanSeconds(edited, old.get(), threads, &found);
        std::printf(
            "scan, 100 bytes cut from every MiB, %d thread(s): %.0f MB/s, "
            "%llu of %llu blocks found\n",
            threads, mb / same, static_cast<unsigned long long>(found),
            static_cast<unsigned long long>(edited.count));
    }
}

// Zeros in [64, 96) MiB of the old copy, 8 MiB and 100 bytes fewer in the new file.
void paddingScan(const std::wstring& folder) {
    const std::uint64_t size = 256 * kMiB;
    const UniqueFile old = oldCopy(folder + L"\\block-bench-padding.bin", 64 * kMiB, 96 * kMiB);
    const BlockList list = editedList(
        old.get(), size, [](std::uint64_t at) { return at < 80 * kMiB || at >= 88 * kMiB + 100; });
    for (int threads : {1, 2}) {
        std::uint64_t found = 0;
        MatchWork work;
        const double took = scanSeconds(list, old.get(), threads, &found, 3, nullptr, &work);
        std::printf(
            "scan, a 32 MiB zero run 8 MiB shorter in the new file, %d thread(s): %.0f MB/s, "
            "%llu lookups, %.0f MiB strong-hashed, %llu of %llu blocks found\n",
            threads, static_cast<double>(size) / 1e6 / took,
            static_cast<unsigned long long>(work.lookups), static_cast<double>(work.hashed) / kMiB,
            static_cast<unsigned long long>(found), static_cast<unsigned long long>(list.count));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: block_bench FOLDER [speed|memory]\n");
        return 2;
    }
    const std::string folder = argv[1], stage = argc > 2 ? argv[2] : "";
    const std::wstring base(folder.begin(), folder.end());
    // Memory first: the speed stage's own buffers would set the peak.
    if (stage.empty() || stage == "memory") memoryPeak(base);
    if (stage.empty() || stage == "speed") scanSpeed(base);
    if (stage.empty() || stage == "padding") paddingScan(base);
    return 0;
}
