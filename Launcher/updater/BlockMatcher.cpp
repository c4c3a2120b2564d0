#include "updater/BlockMatcher.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bitset>
#include <cstring>
#include <exception>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <utility>

#include "updater/FileHasher.h"

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

// Slicing by 8: table k gives a byte's share of the register k bytes on, so
// that eight bytes take eight independent look-ups instead of a chain of
// eight. A scan whose blocks mostly match computes the register of nearly
// every byte of the old copy this way.
using SliceTables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr SliceTables makeSliceTables() {
    SliceTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        tables[0][n] = kCrcTable[n];
        for (std::size_t k = 1; k < 8; ++k)
            tables[k][n] = (tables[k - 1][n] >> 8) ^ kCrcTable[tables[k - 1][n] & 0xFF];
    }
    return tables;
}
constexpr SliceTables kSlices = makeSliceTables();

// A linear map of the 32-bit register over GF(2): column j is the image of bit j.
using Gf2Matrix = std::array<std::uint32_t, 32>;

std::uint32_t times(const Gf2Matrix& matrix, std::uint32_t vector) {
    std::uint32_t sum = 0;
    for (std::size_t j = 0; vector != 0; ++j, vector >>= 1)
        if (vector & 1) sum ^= matrix[j];
    return sum;
}

// What `count` zero bytes do to a raw register, by repeated squaring: a
// block may be 16 MiB long.
Gf2Matrix zeroBytes(std::uint64_t count) {
    Gf2Matrix power{}, result{};
    for (std::size_t j = 0; j < 32; ++j) {
        const std::uint32_t bit = std::uint32_t{1} << j;
        power[j] = (bit >> 8) ^ kCrcTable[bit & 0xFF];
        result[j] = bit;
    }
    for (; count != 0; count >>= 1) {
        if (count & 1)
            for (std::uint32_t& column : result) column = times(power, column);
        Gf2Matrix square{};
        for (std::size_t j = 0; j < 32; ++j) square[j] = times(power, power[j]);
        power = square;
    }
    return result;
}

// Bytes read from the old copy at a time, per stream: large enough that
// ReadFile's cost per call (high under Wine) stays small next to the scan.
constexpr std::uint32_t kChunk = 256 * 1024;
// A pair of blocks may stand many times in the new file (a run of equal
// blocks); an attempt looks at a few of them and carries on fewer still.
constexpr std::size_t kMaxLook = 32;
constexpr std::size_t kMaxLive = 8;
constexpr std::uint64_t kNoMatch = ~std::uint64_t{0};

std::uint32_t ceilLog2(std::uint64_t n) {
    std::uint32_t bits = 0;
    while ((std::uint64_t{1} << bits) < n) ++bits;
    return bits;
}

std::uint32_t pairHash(std::uint32_t a, std::uint32_t b) {
    return (a * 0x9E3779B1u) ^ (b * 0x85EBCA77u);
}
std::uint32_t otherPairHash(std::uint32_t a, std::uint32_t b) {
    return (a * 0xC2B2AE3Du) ^ (b * 0x27D4EB2Fu);
}

// "Surely not here" for almost every position, at the cost of one memory
// read: a bitmap in which each pair sets two bits, by two hashes (a Bloom
// filter). The second bit, looked at for one position in 16, lets about one
// position in 250 through instead of one in 16.
struct Filter {
    const std::uint32_t* bits;
    std::uint32_t mask, pairMask, shift;
    bool has(std::uint32_t hash) const {
        return (bits[hash >> shift >> 5] >> ((hash >> shift) & 31)) & 1;
    }
    // a, b: the raw registers of the windows at a position and one block on.
    bool maybe(std::uint32_t a, std::uint32_t b) const {
        return has(pairHash(a & mask, b & pairMask)) && has(otherPairHash(a & mask, b & pairMask));
    }
};

// Where each pair of consecutive blocks' weak checksums leads: the blocks
// that start such a pair, sorted by (hash, pair, block) so that a bucket and,
// in it, one pair are contiguous runs.
class PairTable {
public:
    PairTable(const BlockList& list, std::uint32_t zeros)
        : list_(list),
          mask_(list.weakMask()),
          pairMask_(list.count > 1 ? mask_ : 0),
          zeros_(zeros & mask_) {
        // A list of one block has no pairs: that block is looked for alone.
        const std::uint64_t entries = list.count > 1 ? list.count - 1 : list.count;
        const std::uint32_t bitBits = std::clamp<std::uint32_t>(ceilLog2(entries) + 5, 10, 23);
        const std::uint32_t bucketBits = std::clamp<std::uint32_t>(ceilLog2(entries), 2, 22) - 1;
        bitShift_ = 32 - bitBits;
        bucketShift_ = 32 - bucketBits;
        bits_.assign(std::size_t{1} << (bitBits - 5), 0);
        starts_.assign((std::size_t{1} << bucketBits) + 1, 0);
        order_.resize(static_cast<std::size_t>(entries));
        std::iota(order_.begin(), order_.end(), std::uint32_t{0});
        std::sort(order_.begin(), order_.end(), [this](std::uint32_t x, std::uint32_t y) {
            return std::make_pair(keyOf(x), x) < std::make_pair(keyOf(y), y);
        });
        hashes_.reserve(order_.size());
        for (std::uint32_t block : order_) {
            const std::uint32_t hash = keyOf(block).first;
            hashes_.push_back(hash);
            set(hash);
            set(otherKeyOf(block));
            ++starts_[(hash >> bucketShift_) + 1];
        }
        std::partial_sum(starts_.begin(), starts_.end(), starts_.begin());
    }

    Filter filter() const { return {bits_.data(), mask_, pairMask_, bitShift_}; }

    // The blocks that start a pair with these registers, in ascending order.
    std::pair<const std::uint32_t*, const std::uint32_t*> group(std::uint32_t a,
                                                                std::uint32_t b) const {
        const auto key = keyFor(a & mask_, b & pairMask_);
        const std::uint32_t bucket = key.first >> bucketShift_;
        // The hashes first: they sit side by side, and almost always differ.
        const auto hashes = std::equal_range(hashes_.data() + starts_[bucket],
                                             hashes_.data() + starts_[bucket + 1], key.first);
        const std::uint32_t* first = order_.data() + (hashes.first - hashes_.data());
        const std::uint32_t* last = order_.data() + (hashes.second - hashes_.data());
        first = std::lower_bound(first, last, key, [this](std::uint32_t block, const auto& k) {
            return keyOf(block) < k;
        });
        last = std::upper_bound(first, last, key, [this](const auto& k, std::uint32_t block) {
            return k < keyOf(block);
        });
        return {first, last};
    }

private:
    void set(std::uint32_t hash) {
        bits_[hash >> bitShift_ >> 5] |= std::uint32_t{1} << ((hash >> bitShift_) & 31);
    }
    static std::pair<std::uint32_t, std::uint64_t> keyFor(std::uint32_t a, std::uint32_t b) {
        return {pairHash(a, b), (std::uint64_t{a} << 32) | b};
    }
    // The stored checksums as the scan's raw registers show them.
    std::pair<std::uint32_t, std::uint64_t> keyOf(std::uint32_t block) const {
        const std::uint32_t next = pairMask_ ? list_.weak(block + 1) ^ zeros_ : 0;
        return keyFor(list_.weak(block) ^ zeros_, next);
    }
    std::uint32_t otherKeyOf(std::uint32_t block) const {
        const std::uint64_t pair = keyOf(block).second;
        return otherPairHash(static_cast<std::uint32_t>(pair >> 32),
                             static_cast<std::uint32_t>(pair));
    }

    const BlockList& list_;
    const std::uint32_t mask_, pairMask_, zeros_;
    std::uint32_t bitShift_ = 0, bucketShift_ = 0;
    std::vector<std::uint32_t> bits_;
    std::vector<std::uint32_t> starts_;  // per bucket, its first index in order_
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> hashes_;  // of order_'s pairs
};

// What the scans of all segments share.
struct Shared {
    Shared(const BlockList& l, BlockSource& o, std::vector<std::uint64_t>& f)
        : list(l),
          old(o),
          crc(l.blockSize),
          table(l, crc.value(0)),
          budget(4 * o.size() + (std::uint64_t{64} << 20)),
          foundAt(f),
          foundBits(static_cast<std::size_t>(l.count / 32 + 1)) {}

    const BlockList& list;
    BlockSource& old;
    const RollingCrc32 crc;
    const PairTable table;
    // Bytes strong-hashed at most: a list whose weak checksums match nearly
    // everywhere and whose strong ones never do would otherwise cost a digest
    // of a block per byte of the old copy.
    const std::uint64_t budget;
    std::vector<std::uint64_t>& foundAt;  // written once per block, by its finder
    std::vector<std::atomic<std::uint32_t>> foundBits;
    std::atomic<std::uint64_t> foundCount{0};
    std::atomic<std::uint64_t> hashed{0};
    std::atomic<std::uint64_t> lookups{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};

    bool found(std::uint64_t block) const {
        return foundBits[static_cast<std::size_t>(block / 32)].load(std::memory_order_relaxed) &
               (std::uint32_t{1} << (block % 32));
    }
    void record(std::uint64_t block, std::uint64_t at) {
        const std::uint32_t bit = std::uint32_t{1} << (block % 32);
        std::atomic<std::uint32_t>& word = foundBits[static_cast<std::size_t>(block / 32)];
        if ((word.load(std::memory_order_relaxed) & bit) || (word.fetch_or(bit) & bit)) return;
        foundAt[static_cast<std::size_t>(block)] = at;
        if (foundCount.fetch_add(1) + 1 == list.count) stop = true;
    }
};

// The scan's innermost loop, apart from everything else so that the 32-bit
// build keeps both registers in the processor's: rolls over up to n
// positions, stopping at the first that the filter lets through or where
// both registers are 0. Returns that position's index, or n.
#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline))
#endif
    std::uint32_t rollOn(const RollingCrc32& crc, const Filter filter, const unsigned char* out,
                         const unsigned char* mid, const unsigned char* in, std::uint32_t n,
                         std::uint32_t& a, std::uint32_t& b) {
    std::uint32_t x = a, y = b, k = 0;
    for (; k < n && !filter.maybe(x, y) && (x | y) != 0; ++k) {
        x = crc.roll(x, out[k], mid[k]);
        y = crc.roll(y, mid[k], in[k]);
    }
    a = x;
    b = y;
    return k;
}

// One thread's scan of the positions [begin, end) of the old copy: it reads
// up to two blocks past `end`.
class Scan {
public:
    Scan(Shared& shared, std::uint64_t begin, std::uint64_t end)
        : shared_(shared),
          list_(shared.list),
          block_(shared.list.blockSize),
          begin_(begin),
          end_(end),
          continueEnd_(std::min(shared.old.size(), end + block_)),
          window_(kChunk) {
        if (block_ <= kChunk / 2) {
            span_.resize(2 * kChunk);
        } else {
            for (Stream* stream : {&front_, &middle_, &back_}) stream->bytes.resize(kChunk);
        }
    }

    void run() {
        std::uint64_t p = begin_;
        while (p < end_ && !shared_.stop.load(std::memory_order_relaxed)) {
            std::uint32_t a = 0, b = 0;
            p = windowRaw(p, a) && windowRaw(p + block_, b) ? roll(p, a, b) : fail();
        }
        shared_.lookups += lookups_;
    }

private:
    // kChunk bytes of the old copy, with the position the scan is at.
    struct Stream {
        std::vector<unsigned char> bytes;
        std::uint64_t start = kNoMatch;
        std::uint32_t at = 0;
    };

    // Rolls both windows on from p, where their raw registers are a and b,
    // until a match (returns where to go on) or the segment's end.
    std::uint64_t roll(std::uint64_t p, std::uint32_t a, std::uint32_t b) {
        const RollingCrc32& crc = shared_.crc;
        const Filter filter = shared_.table.filter();
        // Inside a run of zeros both registers stay 0, so when the table
        // has nothing there the run is passed at the speed of a compare.
        const bool skipZeros = !filter.maybe(0, 0);
        while (p < end_) {
            if (shared_.stop.load(std::memory_order_relaxed)) return end_;
            const unsigned char *out = nullptr, *mid = nullptr, *in = nullptr;
            std::uint32_t n = view(p, out, mid, in);
            if (n == 0) return fail();
            n = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, end_ - p));
            for (std::uint32_t k = rollOn(crc, filter, out, mid, in, n, a, b); k < n;
                 k += rollOn(crc, filter, out + k, mid + k, in + k, n - k, a, b)) {
                if (filter.maybe(a, b)) {
                    std::uint64_t next = attempt(p + k, a, b);
                    // The attempt stands for every position of a run of one
                    // byte value; a match that did not reach past the run
                    // must not hide the positions that see its end.
                    const std::uint64_t run = a == b ? runEnd(p + k, out[k], a) : kNoMatch;
                    if (run != kNoMatch && (next == kNoMatch || next <= run))
                        next = run - 2 * block_ + 1;
                    if (next != kNoMatch) return next;
                } else if (skipZeros) {
                    k += zeroRun(out + k, mid + k, in + k, n - k);
                    if (k == n) break;
                }
                // One position on by hand: rollOn stops where it stopped.
                a = crc.roll(a, out[k], mid[k]);
                b = crc.roll(b, mid[k], in[k]);
                ++k;
            }
            p += n;
        }
        return end_;
    }

    static std::uint32_t zeroRun(const unsigned char* x, const unsigned char* y,
                                 const unsigned char* z, std::uint32_t limit) {
        std::uint32_t k = 0;
        for (; k + 8 <= limit; k += 8) {
            std::uint64_t wx, wy, wz;
            std::memcpy(&wx, x + k, 8);
            std::memcpy(&wy, y + k, 8);
            std::memcpy(&wz, z + k, 8);
            if ((wx | wy | wz) != 0) break;
        }
        while (k < limit && (x[k] | y[k] | z[k]) == 0) ++k;
        return k;
    }

    // In a run of one byte value (padding) every position shows the same two
    // windows. When both windows at p and the byte after them hold only `c`:
    // where the run ends, or two blocks past the segment; else kNoMatch.
    std::uint64_t runEnd(std::uint64_t p, unsigned char c, std::uint32_t reg) {
        // Kept per value: content of a short period (text in UTF-16) may
        // bring two values to this check in turn.
        if (!runKnown_[c]) {
            runKnown_[c] = true;
            for (std::uint32_t i = 0; i < block_; ++i)
                runRaw_[c] = (runRaw_[c] >> 8) ^ kCrcTable[(runRaw_[c] ^ c) & 0xFF];
        }
        if (reg != runRaw_[c]) return kNoMatch;
        // The registers all but prove it; the bytes make it sure.
        const std::uint64_t limit = end_ + 2 * block_;
        windowStart_ = kNoMatch;
        std::uint64_t q = p;
        for (bool same = true; same && q < limit;) {
            const std::uint32_t n =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, limit - q));
            if (!copyBlock(shared_.old, q, window_.data(), n)) return fail();
            const unsigned char* bytes = window_.data();
            const std::uint32_t k = static_cast<std::uint32_t>(
                std::find_if(bytes, bytes + n, [c](unsigned char x) { return x != c; }) - bytes);
            same = k == n;
            q += k;
        }
        return q > p + 2 * block_ ? q : kNoMatch;
    }

    // A fresh match at p needs blocks i and i+1 at p and p + B; then blocks
    // i+2, i+3... are tried one block on each, as long as they match. Returns
    // where rolling goes on after a match, or kNoMatch.
    std::uint64_t attempt(std::uint64_t p, std::uint32_t a, std::uint32_t b) {
        const std::uint64_t count = list_.count;
        ++lookups_;
        const auto [first, last] = shared_.table.group(a, b);
        live_.clear();
        for (const std::uint32_t* it = first;
             it != last && it - first < static_cast<std::ptrdiff_t>(kMaxLook) &&
             live_.size() < kMaxLive;
             ++it)
            if (worthTrying(*it)) live_.push_back(*it);
        if (live_.empty()) return kNoMatch;
        if (!keepStrong(p, 0) || (count > 1 && !keepStrong(p + block_, 1)))
            return shared_.failed ? end_ : kNoMatch;
        for (std::uint64_t i : live_) {
            shared_.record(i, p);
            if (count > 1) shared_.record(i + 1, p + block_);
        }
        std::uint64_t next = count > 1 ? 2 : 1;
        std::uint64_t q = p + next * block_;
        for (; q < continueEnd_; q += block_, ++next) {
            live_.erase(std::remove_if(live_.begin(), live_.end(),
                                       [&](std::uint64_t i) { return i + next >= count; }),
                        live_.end());
            std::uint32_t raw = 0;
            if (live_.empty()) break;
            if (!windowRaw(q, raw)) return fail();
            const std::uint32_t weak = shared_.crc.value(raw) & list_.weakMask();
            live_.erase(
                std::remove_if(live_.begin(), live_.end(),
                               [&](std::uint64_t i) { return list_.weak(i + next) != weak; }),
                live_.end());
            if (live_.empty() || !keepStrong(q, next)) break;
            for (std::uint64_t i : live_) shared_.record(i + next, q);
        }
        return shared_.failed ? end_ : q;
    }

    // Whether a match of the pair at block i could record anything new.
    bool worthTrying(std::uint64_t i) const {
        const std::uint64_t count = list_.count;
        return !shared_.found(i) || (i + 1 < count && !shared_.found(i + 1)) ||
               (i + 2 < count && !shared_.found(i + 2));
    }

    // Keeps the live candidates i whose block i + offset has the strong
    // checksum of the window at q; false when none is left or on failure.
    bool keepStrong(std::uint64_t q, std::uint64_t offset) {
        unsigned char digest[16];
        if (!windowStrong(q, digest)) {
            fail();
            live_.clear();
            return false;
        }
        live_.erase(std::remove_if(live_.begin(), live_.end(),
                                   [&](std::uint64_t i) {
                                       return std::memcmp(list_.strong(i + offset), digest,
                                                          list_.strongBytes) != 0;
                                   }),
                    live_.end());
        return !live_.empty();
    }

    // Points out, mid and in at the bytes at p, p + B and p + 2B; returns for
    // how many positions on they hold, 0 when a read fails. Small blocks
    // take one span of the old copy, so that each byte is read once.
    std::uint32_t view(std::uint64_t p, const unsigned char*& out, const unsigned char*& mid,
                       const unsigned char*& in) {
        if (!span_.empty()) {
            const std::uint64_t spanEnd = spanStart_ + span_.size();
            if (p < spanStart_ || p + 2 * block_ >= spanEnd) {
                // What is still ahead moves to the front; the rest is read.
                const std::size_t keep =
                    p >= spanStart_ && p < spanEnd ? static_cast<std::size_t>(spanEnd - p) : 0;
                std::memmove(span_.data(), span_.data() + span_.size() - keep, keep);
                spanStart_ = p;
                if (!copyBlock(shared_.old, p + keep, span_.data() + keep,
                               static_cast<std::uint32_t>(span_.size() - keep))) {
                    spanStart_ = kNoMatch;
                    return 0;
                }
            }
            out = span_.data() + (p - spanStart_);
            mid = out + block_;
            in = mid + block_;
            return static_cast<std::uint32_t>(spanStart_ + span_.size() - (p + 2 * block_));
        }
        if (!fill(front_, p) || !fill(middle_, p + block_) || !fill(back_, p + 2 * block_))
            return 0;
        out = front_.bytes.data() + front_.at;
        mid = middle_.bytes.data() + middle_.at;
        in = back_.bytes.data() + back_.at;
        return std::min({kChunk - front_.at, kChunk - middle_.at, kChunk - back_.at});
    }

    bool fill(Stream& stream, std::uint64_t pos) {
        if (pos >= stream.start && pos - stream.start < kChunk) {
            stream.at = static_cast<std::uint32_t>(pos - stream.start);
            return true;
        }
        stream.start = pos;
        stream.at = 0;
        if (copyBlock(shared_.old, pos, stream.bytes.data(), kChunk)) return true;
        stream.start = kNoMatch;
        return false;
    }

    // Calls use(bytes, length) over the window [q, q + B), in pieces. A
    // block that fits is taken from a read of kChunk bytes kept from call to
    // call: a match carried on walks the old copy block by block, and each
    // block is looked at twice (weak, then strong).
    template <typename Use>
    bool eachPiece(std::uint64_t q, Use use) {
        if (block_ <= kChunk) {
            if (windowStart_ == kNoMatch || q < windowStart_ || q - windowStart_ > kChunk - block_) {
                windowStart_ = q;
                if (!copyBlock(shared_.old, q, window_.data(), kChunk)) {
                    windowStart_ = kNoMatch;
                    return false;
                }
            }
            return use(window_.data() + (q - windowStart_), block_);
        }
        for (std::uint32_t done = 0; done < block_;) {
            const std::uint32_t piece = std::min(kChunk, block_ - done);
            if (!copyBlock(shared_.old, q + done, window_.data(), piece)) return false;
            if (!use(window_.data(), piece)) return false;
            done += piece;
        }
        return true;
    }

    bool windowRaw(std::uint64_t q, std::uint32_t& raw) {
        raw = 0;
        return eachPiece(q, [&](const unsigned char* bytes, std::uint32_t length) {
            raw = RollingCrc32::raw(raw, bytes, length);
            return true;
        });
    }

    // The first strongBytes bytes of the window's MD5.
    bool windowStrong(std::uint64_t q, unsigned char (&digest)[16]) {
        if (shared_.hashed.fetch_add(block_) + block_ > shared_.budget) return false;
        Md5 md5;
        if (!eachPiece(q, [&](const unsigned char* bytes, std::uint32_t length) {
                return md5.update(bytes, length);
            }))
            return false;
        const std::string value = md5.bytes();
        if (value.size() != sizeof digest) return false;
        std::memcpy(digest, value.data(), sizeof digest);
        return true;
    }

    std::uint64_t fail() {
        shared_.failed = true;
        shared_.stop = true;
        return end_;
    }

    Shared& shared_;
    const BlockList& list_;
    const std::uint32_t block_;
    const std::uint64_t begin_, end_;
    const std::uint64_t continueEnd_;  // continuing matches start a block before it
    std::vector<unsigned char> window_;
    std::uint64_t windowStart_ = kNoMatch;  // where window_'s bytes start, for blocks that fit
    std::vector<unsigned char> span_;  // from spanStart_ on
    std::uint64_t spanStart_ = kNoMatch;
    Stream front_, middle_, back_;  // at p, p + B and p + 2B, where blocks are large
    std::vector<std::uint64_t> live_;
    // Added up at the end: every thread reads the shared count's cache line.
    std::uint64_t lookups_ = 0;
    // Per byte value, the raw register of a window of B such bytes, once known.
    std::array<std::uint32_t, 256> runRaw_{};
    std::bitset<256> runKnown_;
};

void scanSegment(Shared& shared, std::uint64_t begin, std::uint64_t end) {
    try {
        Scan(shared, begin, end).run();
    } catch (...) {
        // Out of memory for the buffers: the caller fetches the whole file.
        shared.failed = true;
        shared.stop = true;
    }
}

// Blocks with equal checksums have equal contents: one found stands for all,
// even those no pair led to (a block repeated at the file's end).
void shareDuplicates(const BlockList& list, std::vector<std::uint64_t>& foundAt) {
    const std::size_t record = list.weakBytes + list.strongBytes;
    const char* records = list.records.data();
    std::vector<std::uint32_t> order(foundAt.size());
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
        return std::memcmp(records + x * record, records + y * record, record) < 0;
    });
    for (std::size_t first = 0, last = 0; first < order.size(); first = last) {
        std::uint64_t at = kNotFound;
        for (last = first;
             last < order.size() && std::memcmp(records + order[first] * record,
                                                records + order[last] * record, record) == 0;
             ++last)
            at = std::min(at, foundAt[order[last]]);
        for (std::size_t i = first; i < last; ++i)
            if (foundAt[order[i]] == kNotFound) foundAt[order[i]] = at;
    }
}

}  // namespace

std::uint32_t zlibCrc32(std::uint32_t crc, const void* data, std::size_t length) {
    return ~RollingCrc32::raw(~crc, data, length);
}

RollingCrc32::RollingCrc32(std::uint64_t window) {
    const Gf2Matrix shift = zeroBytes(window);
    for (std::size_t b = 0; b < 256; ++b) {
        step_[b] = kCrcTable[b];
        leaving_[b] = times(shift, kCrcTable[b]);
    }
    zeros_ = times(shift, 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
}

std::uint32_t RollingCrc32::raw(std::uint32_t reg, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const std::uint32_t low = reg ^ (std::uint32_t{bytes[i]} | std::uint32_t{bytes[i + 1]} << 8 |
                                         std::uint32_t{bytes[i + 2]} << 16 |
                                         std::uint32_t{bytes[i + 3]} << 24);
        reg = kSlices[7][low & 0xFF] ^ kSlices[6][(low >> 8) & 0xFF] ^
              kSlices[5][(low >> 16) & 0xFF] ^ kSlices[4][low >> 24] ^
              kSlices[3][bytes[i + 4]] ^ kSlices[2][bytes[i + 5]] ^ kSlices[1][bytes[i + 6]] ^
              kSlices[0][bytes[i + 7]];
    }
    for (; i < length; ++i) reg = (reg >> 8) ^ kCrcTable[(reg ^ bytes[i]) & 0xFF];
    return reg;
}

FileBlockSource::FileBlockSource(HANDLE file) : file_(file) {
    LARGE_INTEGER size{};
    ok_ = GetFileSizeEx(file, &size) && size.QuadPart >= 0;
    size_ = ok_ ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

bool FileBlockSource::read(std::uint64_t offset, void* into, std::uint32_t length) {
    auto* bytes = static_cast<unsigned char*>(into);
    while (ok_ && length > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file_, bytes, length, &got, &at) || got == 0) return false;
        bytes += got;
        offset += got;
        length -= got;
    }
    return ok_;
}

bool copyBlock(BlockSource& old, std::uint64_t at, void* into, std::uint32_t length) {
    const std::uint64_t size = old.size();
    const std::uint32_t present =
        at >= size ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(length, size - at));
    if (present > 0 && !old.read(at, into, present)) return false;
    std::memset(static_cast<unsigned char*>(into) + present, 0, length - present);
    return true;
}

bool matchBlocks(const BlockList& list, BlockSource& old, int threads,
                 std::vector<std::uint64_t>& foundAt, MatchWork* work) {
    foundAt.assign(static_cast<std::size_t>(list.count), kNotFound);
    const std::uint64_t size = old.size();
    if (list.count == 0 || size == 0) return true;
    {
        Shared shared(list, old, foundAt);
        const std::uint64_t parts = std::min<std::uint64_t>(size, std::clamp(threads, 1, 4));
        const std::uint64_t step = size / parts + (size % parts != 0);
        std::vector<std::thread> pool;
        std::vector<std::uint64_t> unstarted;
        // Room for every segment before any thread starts: nothing below can
        // then throw past threads left unjoined.
        pool.reserve(static_cast<std::size_t>(parts));
        unstarted.reserve(static_cast<std::size_t>(parts));
        for (std::uint64_t begin = step; begin < size; begin += step) {
            const std::uint64_t end = std::min(size, begin + step);
            try {
                pool.emplace_back(scanSegment, std::ref(shared), begin, end);
            } catch (const std::exception&) {
                // No thread, or no memory for one (std::bad_alloc): fewer
                // threads than asked for, and this one scans the rest too.
                unstarted.push_back(begin);
            }
        }
        scanSegment(shared, 0, std::min(size, step));
        for (std::uint64_t begin : unstarted)
            scanSegment(shared, begin, std::min(size, begin + step));
        for (std::thread& thread : pool) thread.join();
        if (work) *work = {shared.lookups, shared.hashed};
        if (shared.failed) return false;
    }
    shareDuplicates(list, foundAt);
    return true;
}
