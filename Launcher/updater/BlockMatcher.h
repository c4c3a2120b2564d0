// Finds, in the old copy of a file, the blocks of the new one that a block
// list describes, wherever they now lie, so that only the rest is fetched.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "updater/BlockList.h"

// CRC-32 as zlib's crc32(): zlibCrc32(0, data, n) starts one, and passing a
// result back as `crc` continues it.
std::uint32_t zlibCrc32(std::uint32_t crc, const void* data, std::size_t length);

// The CRC-32 of a window of fixed length that slides one byte at a time.
// Works on the raw register (no initial or final inversion), which is linear
// in the bytes: the register of bytes 1..B is the register of 0..B with byte
// 0's share, that of byte 0 followed by B zero bytes, taken out again.
class RollingCrc32 {
public:
    explicit RollingCrc32(std::uint64_t window);
    // The register `reg` carried on over `length` more bytes; 0 starts a window.
    static std::uint32_t raw(std::uint32_t reg, const void* data, std::size_t length);
    // The window one byte on: `out` leaves at its front, `in` enters at its back.
    std::uint32_t roll(std::uint32_t reg, unsigned char out, unsigned char in) const {
        return (reg >> 8) ^ step_[(reg ^ in) & 0xFF] ^ leaving_[out];
    }
    // zlibCrc32 of the window whose raw register is `reg`.
    std::uint32_t value(std::uint32_t reg) const { return reg ^ zeros_; }

private:
    std::uint32_t step_[256];
    std::uint32_t leaving_[256];
    std::uint32_t zeros_;  // zlibCrc32 of `window` zero bytes
};

// The old copy, read at any offset; safe to read from several threads at once.
class BlockSource {
public:
    virtual ~BlockSource() = default;
    virtual std::uint64_t size() const = 0;
    // Exactly `length` bytes at `offset`, all of them below size().
    virtual bool read(std::uint64_t offset, void* into, std::uint32_t length) = 0;
};

// A file opened for reading without FILE_FLAG_OVERLAPPED; the handle stays
// the caller's. Each read names its offset, so threads share the handle.
class FileBlockSource : public BlockSource {
public:
    explicit FileBlockSource(HANDLE file);
    bool ok() const { return ok_; }  // false: the size could not be had, reads fail
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, void* into, std::uint32_t length) override;

private:
    HANDLE file_;
    std::uint64_t size_ = 0;
    bool ok_ = false;
};

constexpr std::uint64_t kNotFound = ~std::uint64_t{0};

// What a scan cost: its lookups in the list's table and the bytes it
// strong-hashed. Both grow with the old copy's size, not with its runs.
struct MatchWork {
    std::uint64_t lookups = 0;
    std::uint64_t hashed = 0;
};

// foundAt[i]: an offset in `old` where block i's content lies, zero-padded to
// the block size as the list takes it (the old copy counts as followed by
// zeros), or kNotFound. `threads` (1..4) scan parts of the old copy side by
// side. False when a read fails or the list makes the scan cost more than a
// few times the old copy's size: then nothing can be taken from it.
bool matchBlocks(const BlockList& list, BlockSource& old, int threads,
                 std::vector<std::uint64_t>& foundAt, MatchWork* work = nullptr);

// Block i of the new file from the old copy: copyBlock(old, foundAt[i], into,
// list.length(i)). Bytes past the old copy's end are zeros.
bool copyBlock(BlockSource& old, std::uint64_t at, void* into, std::uint32_t length);
