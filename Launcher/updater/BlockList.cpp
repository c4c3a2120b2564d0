#include "updater/BlockList.h"

#include <utility>

namespace {

std::uint64_t littleEndian(const std::string& bytes, std::size_t at, std::size_t length) {
    std::uint64_t value = 0;
    for (std::size_t i = length; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::size_t recordOffset(const BlockList& list, std::uint64_t block) {
    return static_cast<std::size_t>(block) * (list.weakBytes + list.strongBytes);
}

}  // namespace

std::uint32_t BlockList::weak(std::uint64_t block) const {
    return static_cast<std::uint32_t>(littleEndian(records, recordOffset(*this, block), weakBytes));
}

const unsigned char* BlockList::strong(std::uint64_t block) const {
    return reinterpret_cast<const unsigned char*>(records.data()) + recordOffset(*this, block) +
           weakBytes;
}

std::uint32_t BlockList::length(std::uint64_t block) const {
    const std::uint64_t start = block * blockSize;
    return fileSize - start < blockSize ? static_cast<std::uint32_t>(fileSize - start) : blockSize;
}

bool readBlockList(const std::string& bytes, std::uint64_t expectedFileSize, BlockList& out) {
    if (bytes.size() < kBlockListHeader || bytes.compare(0, 4, "ZBLK") != 0) return false;
    BlockList list;
    list.weakBytes = static_cast<unsigned char>(bytes[5]);
    list.strongBytes = static_cast<unsigned char>(bytes[6]);
    list.blockSize = static_cast<std::uint32_t>(littleEndian(bytes, 8, 4));
    list.fileSize = littleEndian(bytes, 12, 8);
    if (bytes[4] != 1 || bytes[7] != 0 || list.weakBytes < 1 || list.weakBytes > 4 ||
        list.strongBytes < 1 || list.strongBytes > 16 || list.blockSize < kMinBlockSize ||
        list.blockSize > kMaxBlockSize || list.fileSize != expectedFileSize)
        return false;
    // Written so that no file size can overflow it.
    list.count = list.fileSize / list.blockSize + (list.fileSize % list.blockSize != 0);
    if (list.count > kMaxBlockCount) return false;
    const std::uint64_t recordBytes = list.count * (list.weakBytes + list.strongBytes);
    if (bytes.size() - kBlockListHeader != recordBytes) return false;
    list.records = bytes.substr(kBlockListHeader);
    out = std::move(list);
    return true;
}
