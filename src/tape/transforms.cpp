// Work buffers and the tape object's transform methods, which apply the
// format's transforms (format.cpp) to the object's own work buffers.
#include "internal.h"

#include <cstdint>
#include <new>

namespace {
constexpr int kAlign = 4096;
}  // namespace

ORVtape::OrvTapeWorkBuffer::OrvTapeWorkBuffer()
    : raw(nullptr), aligned(nullptr), capacity(0), dataLen(0) {}

ORVtape::OrvTapeWorkBuffer::~OrvTapeWorkBuffer() { delete[] raw; }

char* ORVtape::OrvTapeWorkBuffer::getBfr(int need, int minimum) {
    const long long wanted = orv::workCapacity(need, minimum);
    if (wanted <= capacity) return aligned;
    // Beyond this the capacity and its alignment slack no longer fit the
    // signed 32-bit capacity field; refusing is the only way never to hand
    // out an area smaller than requested.
    if (wanted > INT_MAX - kAlign) throw std::bad_alloc();
    delete[] raw;
    raw = nullptr;
    aligned = nullptr;
    capacity = 0;
    raw = new char[static_cast<std::size_t>(wanted) + kAlign];
    const std::uintptr_t p = reinterpret_cast<std::uintptr_t>(raw);
    aligned = raw + ((kAlign - p % kAlign) % kAlign);
    capacity = static_cast<int>(wanted);
    dataLen = 0;
    return aligned;
}

int ORVtape::compress(char* src, int length) {
    if (length < 0) return -1;
    auto* area = reinterpret_cast<unsigned char*>(cmpBfr.getBfr(length, maxRecordSize));
    return orv::compressBlock(area, cmpBfr.capacity, src, length, cmpLevel);
}

int ORVtape::decompress(char* dst, int size) {
    auto* area = reinterpret_cast<unsigned char*>(cmpBfr.getBfr(0, maxRecordSize));
    unsigned int avail = cmpBfr.dataLen;
    if (avail > static_cast<unsigned int>(cmpBfr.capacity)) avail = static_cast<unsigned int>(cmpBfr.capacity);
    return orv::decompressBlock(area, avail, dst, size);
}

int ORVtape::encrypt(char* src, int length) {
    auto* area = reinterpret_cast<unsigned char*>(encBfr.getBfr(length, maxRecordSize));
    if (length < 1 || src == nullptr) return length;
    orv::scramble(area, reinterpret_cast<const unsigned char*>(src), static_cast<std::size_t>(length));
    return length;
}

int ORVtape::decrypt(char* dst, int size) {
    const unsigned int stored = encBfr.dataLen;
    const auto* area = reinterpret_cast<const unsigned char*>(encBfr.getBfr(0, maxRecordSize));
    if (dst != nullptr && size >= 1 && stored >= 1) {
        // Never beyond the data, the destination, or the area itself.
        unsigned long long n = stored;
        if (n > static_cast<unsigned long long>(size)) n = static_cast<unsigned long long>(size);
        if (n > static_cast<unsigned long long>(encBfr.capacity)) n = static_cast<unsigned long long>(encBfr.capacity);
        orv::scramble(reinterpret_cast<unsigned char*>(dst), area, static_cast<std::size_t>(n));
    }
    return static_cast<int>(stored);
}
