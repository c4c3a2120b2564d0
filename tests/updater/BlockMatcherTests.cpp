#include <cstring>
#include <random>
#include <set>
#include <tuple>

#include "TestSupport.h"
#include "updater/BlockMatcher.h"

using namespace testing_support;

namespace {

constexpr std::uint32_t kBlock = 1024;
using Blocks = std::set<std::uint64_t>;

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

struct MemorySource : BlockSource {
    std::string bytes;
    std::uint64_t failFrom = kNotFound;
    explicit MemorySource(std::string b) : bytes(std::move(b)) {}
    std::uint64_t size() const override { return bytes.size(); }
    bool read(std::uint64_t offset, void* into, std::uint32_t length) override {
        if (offset + length > failFrom || offset + length > bytes.size()) return false;
        std::memcpy(into, bytes.data() + offset, length);
        return true;
    }
};

// The blocks left to fetch; what was found, with those blocks taken from
// `file`, must make `file` again, at a cost that the old copy's size bounds
// whatever its runs.
Blocks missing(const std::string& listBytes, const std::string& file, BlockSource& old,
               int threads) {
    BlockList list;
    std::vector<std::uint64_t> foundAt;
    MatchWork work;
    EXPECT_TRUE(readBlockList(listBytes, file.size(), list));
    EXPECT_TRUE(matchBlocks(list, old, threads, foundAt, &work));
    EXPECT_LE(work.lookups, old.size() / 64 + 8);
    Blocks left;
    std::string made;
    for (std::uint64_t i = 0; i < foundAt.size(); ++i) {
        std::string block(list.length(i), '\0');
        if (foundAt[i] == kNotFound) {
            left.insert(i);
            block = file.substr(i * list.blockSize, list.length(i));
        } else {
            EXPECT_TRUE(copyBlock(old, foundAt[i], &block[0], list.length(i)));
        }
        made += block;
    }
    EXPECT_TRUE(made == file) << "the found blocks do not make the new file";
    return left;
}

std::string edit(std::string bytes, std::size_t at, std::size_t erase, const std::string& put) {
    return bytes.replace(at, erase, put);
}

}  // namespace

// The rolling value equals the CRC computed afresh, for windows up to the
// largest block; the fixed points are zlib's check value and Python's lists.
TEST(BlockChecksumTest, RollingCrcMatchesZlibAndTheWriterAgrees) {
    EXPECT_EQ(zlibCrc32(0, "123456789", 9), 0xCBF43926u);
    for (std::uint32_t window : {1u, kBlock, 5000u, kMaxBlockSize}) {
        const std::string data = randomBytes(window + 4, window);
        const RollingCrc32 crc(window);
        std::uint32_t reg = RollingCrc32::raw(0, data.data(), window);
        for (std::uint32_t k = 0; k < 4; ++k) {
            reg = crc.roll(reg, data[k], data[k + window]);
            EXPECT_EQ(crc.value(reg), zlibCrc32(0, data.data() + k + 1, window)) << window;
        }
    }
    // tools/blocklist.py: block_list(io.BytesIO(bytes(range(256)) * 9), 2304, 1024).hex()
    std::string pattern;
    for (int i = 0; i < 9 * 256; ++i) pattern.push_back(static_cast<char>(i));
    const std::string python =
        unhex("5a424c4b01030200000400000009000000000000264c0bb2ea264c0bb2ea19676b7307");
    EXPECT_EQ(blockListOf(pattern, kBlock, 3, 2), python);
}

TEST(BlockListTest, RefusesDamagedOrInconsistentLists) {
    const std::string good = blockListOf(randomBytes(3000, 1));
    BlockList list;
    ASSERT_TRUE(readBlockList(good, 3000, list));
    EXPECT_EQ(std::make_tuple(list.blockSize, list.count, list.weakBytes, list.length(2)),
              std::make_tuple(kBlock, std::uint64_t{3}, 3u, 952u));
    const auto with = [&](std::size_t at, char value) { return edit(good, at, 1, {value}); };
    const std::uint64_t most = kMaxBlockCount * kBlock;
    const struct {
        const char* name;
        std::string bytes;
        std::uint64_t size;
        bool taken;
    } rows[] = {
        {"magic", with(3, 'X'), 3000, false},
        {"version", with(4, 2), 3000, false},
        {"reserved byte", with(7, 1), 3000, false},
        {"other file size", good, 2999, false},
        {"a byte short", good.substr(0, good.size() - 1), 3000, false},
        {"a byte more", good + "x", 3000, false},
        {"no weak bytes", blockListHeader(kBlock, 3000, 0, 4) + std::string(12, 'x'), 3000, false},
        {"5 weak bytes", blockListHeader(kBlock, 3000, 5, 4) + std::string(27, 'x'), 3000, false},
        {"no strong bytes", blockListHeader(kBlock, 3000, 3, 0) + std::string(9, 'x'), 3000, false},
        {"17 strong bytes", blockListHeader(kBlock, 3000, 3, 17) + std::string(60, 'x'), 3000, false},
        {"blocks of 1023", blockListHeader(1023, 3000) + std::string(21, 'x'), 3000, false},
        {"blocks over 16 MiB", blockListHeader(kMaxBlockSize + 1, 3000) + std::string(7, 'x'), 3000, false},
        {"too many blocks", blockListHeader(kBlock, most + 1) + std::string((most / kBlock + 1) * 7, 'x'),
         most + 1, false},
        {"most blocks", blockListHeader(kBlock, most) + std::string(most / kBlock * 7, 'x'), most, true},
        {"largest block and widest checksums",
         blockListHeader(kMaxBlockSize, 3000, 4, 16) + std::string(20, 'x'), 3000, true},
        {"empty file", blockListHeader(kBlock, 0, 1, 1), 0, true},
    };
    for (const auto& row : rows) {
        BlockList out = list;
        EXPECT_EQ(readBlockList(row.bytes, row.size, out), row.taken) << row.name;
        if (!row.taken) {
            EXPECT_EQ(out.records, list.records) << row.name << ": changed";
        }
    }
}

// Every row on one, two and three threads: the segments' seams must lose nothing.
TEST(BlockMatcherTest, FindsEveryBlockTheOldCopyHolds) {
    const std::string file = randomBytes(16 * kBlock + 300, 7);  // the last block is short
    const std::string junk = randomBytes(100, 9), whole = file.substr(0, 16 * kBlock);
    const std::string a = randomBytes(kBlock, 11), x = randomBytes(3 * kBlock, 12);
    const std::string zeros(8 * kBlock, '\0');
    Blocks all;
    for (std::uint64_t i = 0; i < 17; ++i) all.insert(i);
    std::string repeated = x.substr(0, kBlock), once = repeated + a + x.substr(kBlock);
    for (int i = 0; i < 40; ++i) repeated += a;
    repeated += x.substr(kBlock);
    // Blocks past half a read take another way through the scan.
    const std::uint32_t large = 200 * 1024;
    const std::string big = randomBytes(4 * large + 1000, 13);
    const struct {
        const char* name;
        std::string file, old;
        Blocks left;
        std::uint32_t block = kBlock;
    } rows[] = {
        {"unchanged", file, file, {}},
        {"one block changed", file, edit(file, 5 * kBlock + 10, 10, junk.substr(0, 10)), {5}},
        {"bytes inserted at the start", file, file.substr(100), {0}},
        {"bytes removed at the start", file, junk + file, {}},
        {"bytes inserted in the middle", file, edit(file, 5 * kBlock + 10, 100, ""), {5}},
        {"bytes removed in the middle", file, edit(file, 5 * kBlock + 10, 0, junk), {5}},
        {"bytes inserted at the end", file, file.substr(0, file.size() - 100), {16}},
        {"bytes removed at the end", whole, whole + junk, {}},
        {"short last block not followed by zeros", file, file + junk, {16}},
        {"a block repeated 40 times", repeated, once, {}},
        {"zeros, fewer than before", x + zeros + x, x + zeros + zeros + x, {}},
        {"padding, 60 blocks shorter", x + std::string(20 * kBlock + 300, '\xFF') + x,
         x + std::string(80 * kBlock, '\xFF') + x, {}},
        {"one block alone", a, junk + a + junk, {}},
        {"one short block at the old end", a.substr(0, 700), junk + a.substr(0, 700), {}},
        {"old copy empty", file, "", all},
        {"old copy shorter", file, file.substr(0, 8 * kBlock), {8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"old copy twice", file, file + file, {}},
        {"old copy of another file", file, randomBytes(file.size(), 99), all},
        {"large blocks, bytes removed at the start", big, junk + big, {}, large},
        {"large blocks, bytes removed in the middle",
         big,
         edit(big, 2 * large + 9, 0, junk),
         {2},
         large},
    };
    for (const auto& row : rows) {
        for (int threads : {1, 2, 3}) {
            SCOPED_TRACE(row.name + std::string(", threads: ") + std::to_string(threads));
            MemorySource old(row.old);
            EXPECT_EQ(missing(blockListOf(row.file, row.block), row.file, old, threads), row.left);
        }
    }
}

// A weak checksum that matches with a strong one that does not is no match;
// a list that makes nearly every position such a near-match, or a read that
// fails, makes the whole scan fail.
TEST(BlockMatcherTest, TakesOnlyStrongMatchesAndGivesUpOnHostileLists) {
    const std::string file = randomBytes(16 * kBlock, 5);
    std::string list = blockListOf(file);
    list[kBlockListHeader + 5 * 7 + 3] ^= 1;  // block 5's strong checksum
    MemorySource old(file);
    EXPECT_EQ(missing(list, file, old, 1), Blocks{5});

    // Two bytes over and over: no run of one byte value for the scan to pass at once.
    std::string periodic(1 << 20, '\0');
    for (std::size_t i = 1; i < periodic.size(); i += 2) periodic[i] = 1;
    std::string hostile = blockListHeader(kBlock, 64 * kBlock);
    for (int i = 0; i < 64; ++i)
        hostile += littleEndian(zlibCrc32(0, periodic.data(), kBlock), 3) + "\xFF\xFF\xFF\xFF";
    BlockList parsed;
    ASSERT_TRUE(readBlockList(hostile, 64 * kBlock, parsed));
    MemorySource repeating(periodic), failing(file);
    failing.failFrom = 5000;
    std::vector<std::uint64_t> foundAt;
    EXPECT_FALSE(matchBlocks(parsed, repeating, 2, foundAt));
    ASSERT_TRUE(readBlockList(blockListOf(file), file.size(), parsed));
    EXPECT_FALSE(matchBlocks(parsed, failing, 1, foundAt));
}

// Blocks at offsets past 2^32 of a sparse file, read through its handle. The
// file is cut so that the last of four threads starts just before 4 GiB: it
// finds every block at once, and the scan ends without reading the holes.
TEST(BlockMatcherTest, FindsBlocksPastFourGiBInASparseFile) {
    Sandbox sandbox("blocks-sparse");
    const std::string file = randomBytes(8 * kBlock, 3);
    const std::uint64_t fourGiB = std::uint64_t{1} << 32, size = (fourGiB - 4096) / 3 * 4;
    const UniqueFile handle(CreateFileW(sandbox.at("old").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(handle);
    const std::pair<std::uint64_t, std::string> pieces[] = {
        {size, ""},
        {fourGiB - 1500, file.substr(0, 4 * kBlock)},
        {fourGiB + 30000, file.substr(4 * kBlock)}};
    for (const auto& [at, bytes] : pieces) {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(at);
        DWORD written = 0;
        ASSERT_TRUE(SetFilePointerEx(handle.get(), to, nullptr, FILE_BEGIN));
        ASSERT_TRUE(bytes.empty() ? SetEndOfFile(handle.get())
                                  : WriteFile(handle.get(), bytes.data(),
                                              static_cast<DWORD>(bytes.size()), &written, nullptr));
    }
    FileBlockSource old(handle.get());
    ASSERT_EQ(old.size(), size);
    EXPECT_EQ(missing(blockListOf(file), file, old, 4), Blocks{});
}
