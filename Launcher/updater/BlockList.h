// The block list of a file for delta updates: per fixed-size block of the
// new file, a weak (CRC-32) and a strong (MD5) checksum, both taken over
// the block zero-padded to the block size. The patch server publishes it as
// blocks/<sha256 of the file>.blocks (little-endian):
//   "ZBLK", version 1, weakBytes (1..4), strongBytes (1..16), 0,
//   blockSize (u32, 1024 .. 16 MiB), fileSize (u64),
//   then per block: the CRC's low weakBytes bytes, the digest's first strongBytes bytes.
// tools/blocklist.py writes it.
#pragma once

#include <cstdint>
#include <string>

// Bounds the memory the table of one file takes.
constexpr std::uint64_t kMaxBlockCount = std::uint64_t{1} << 18;
constexpr std::uint32_t kMinBlockSize = 1024;
constexpr std::uint32_t kMaxBlockSize = 16u << 20;
constexpr std::size_t kBlockListHeader = 20;

struct BlockList {
    std::uint32_t blockSize = 0;
    std::uint64_t fileSize = 0;
    std::uint32_t weakBytes = 0;
    std::uint32_t strongBytes = 0;
    std::uint64_t count = 0;
    std::string records;  // count records of weakBytes + strongBytes bytes, as in the file

    std::uint32_t weakMask() const {
        return weakBytes >= 4 ? 0xFFFFFFFFu : (std::uint32_t{1} << (8 * weakBytes)) - 1;
    }
    // The stored bits of the block's CRC-32.
    std::uint32_t weak(std::uint64_t block) const;
    const unsigned char* strong(std::uint64_t block) const;
    // Block `block`'s length in the new file (the last one may be short).
    std::uint32_t length(std::uint64_t block) const;
};

// Fills `out` from a block list file's bytes; false (and `out` untouched)
// for anything but a well-formed list of a file of `expectedFileSize` bytes
// with at most kMaxBlockCount blocks.
bool readBlockList(const std::string& bytes, std::uint64_t expectedFileSize, BlockList& out);
