// Work buffers and the two payload transforms: bzip2 compression behind the
// library's own base-128 length prefix, and the positional XOR scramble.
#include "internal.h"

#include <bzlib.h>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr int kAlign = 4096;
constexpr int kMaxPrefixBytes = 5;  // enough for any 32-bit length

// The XOR stream runs FF, FE, ..., 00 and repeats: the low byte of ~i.
// W bytes at a time: lane k of the key holds the low byte of ~(i + k), and
// each step subtracts W from every lane, which wraps per byte exactly as the
// stream does.  The compiler does not vectorise the byte loop by itself.
typedef unsigned char Lanes16 __attribute__((vector_size(16)));
typedef unsigned char Lanes32 __attribute__((vector_size(32)));

template <class Lanes>
__attribute__((always_inline)) inline void scrambleBy(unsigned char* dst, const unsigned char* src, std::size_t n) {
    constexpr unsigned W = sizeof(Lanes);
    std::size_t i = 0;
    if (n >= W) {
        Lanes key, step;
        for (unsigned k = 0; k < W; ++k) {
            key[k] = static_cast<unsigned char>(0xFF - k);
            step[k] = static_cast<unsigned char>(W);
        }
        for (; i + W <= n; i += W) {
            Lanes v;
            std::memcpy(&v, src + i, sizeof v);
            v ^= key;
            std::memcpy(dst + i, &v, sizeof v);
            key -= step;
        }
    }
    for (; i < n; ++i) dst[i] = static_cast<unsigned char>(src[i] ^ static_cast<unsigned char>(~i));
}

#if defined(__x86_64__) && defined(__GNUC__)
// With 32-byte registers the loop keeps pace with the C library's memcpy;
// without them 32-byte lanes would be emulated, so 16 is the portable width.
__attribute__((target("avx2"))) void scrambleWide(unsigned char* dst, const unsigned char* src, std::size_t n) {
    scrambleBy<Lanes32>(dst, src, n);
}
#endif

void scramble(unsigned char* dst, const unsigned char* src, std::size_t n) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (__builtin_cpu_supports("avx2")) {
        scrambleWide(dst, src, n);
        return;
    }
#endif
    scrambleBy<Lanes16>(dst, src, n);
}

int writeLengthPrefix(unsigned char* out, unsigned int value) {
    int n = 0;
    do {
        out[n++] = static_cast<unsigned char>((value & 0x7F) | (value <= 127 ? 0x80 : 0));
        value >>= 7;
    } while (value != 0);
    return n;
}

// Decodes a prefix within avail bytes; -1 when it does not end there or within
// the five bytes that any 32-bit length needs, or when it exceeds a result.
long long readLengthPrefix(const unsigned char* in, unsigned int avail, int* used) {
    unsigned long long value = 0;
    for (int i = 0; i < kMaxPrefixBytes && static_cast<unsigned int>(i) < avail; ++i) {
        value |= static_cast<unsigned long long>(in[i] & 0x7F) << (7 * i);
        if (in[i] & 0x80) {
            *used = i + 1;
            return value > static_cast<unsigned long long>(INT_MAX) ? -1 : static_cast<long long>(value);
        }
    }
    return -1;
}

}  // namespace

ORVtape::OrvTapeWorkBuffer::OrvTapeWorkBuffer()
    : raw(nullptr), aligned(nullptr), capacity(0), dataLen(0) {}

ORVtape::OrvTapeWorkBuffer::~OrvTapeWorkBuffer() { delete[] raw; }

char* ORVtape::OrvTapeWorkBuffer::getBfr(int need, int minimum) {
    long long n = minimum > orv::kMinRecordSize ? minimum : orv::kMinRecordSize;
    if (need > n) n = need;
    const long long rounded = (n + 7) & ~7LL;
    const long long wanted = (rounded + rounded / 8 + 7) & ~7LL;
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
    const int prefix = writeLengthPrefix(area, static_cast<unsigned int>(length));
    unsigned int streamLen = static_cast<unsigned int>(cmpBfr.capacity - prefix);
    char empty = 0;  // libbz2 refuses a null source even for zero bytes
    const int rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(area + prefix), &streamLen,
                                            src ? src : &empty, static_cast<unsigned int>(length),
                                            cmpLevel, 0, 0);
    if (rc != BZ_OK) return -1;
    return prefix + static_cast<int>(streamLen);
}

int ORVtape::decompress(char* dst, int size) {
    auto* area = reinterpret_cast<unsigned char*>(cmpBfr.getBfr(0, maxRecordSize));
    unsigned int avail = cmpBfr.dataLen;
    if (avail > static_cast<unsigned int>(cmpBfr.capacity)) avail = static_cast<unsigned int>(cmpBfr.capacity);
    int used = 0;
    const long long value = readLengthPrefix(area, avail, &used);
    if (value < 0) return -1;
    if (dst == nullptr || size <= 0) return static_cast<int>(value);
    // Never let the stream run past the length its prefix promises: the
    // caller may have sized the buffer from it (or announced a size it does
    // not have), and a longer stream is a damaged block anyway.
    unsigned int produced = static_cast<unsigned int>(size < value ? size : value);
    const int rc = BZ2_bzBuffToBuffDecompress(dst, &produced, reinterpret_cast<char*>(area + used),
                                              avail - static_cast<unsigned int>(used), 0, 0);
    if (rc == BZ_OK) return produced == value ? static_cast<int>(value) : -1;
    if (rc == BZ_OUTBUFF_FULL && size < value && produced == static_cast<unsigned int>(size))
        return static_cast<int>(value);
    return -1;
}

int ORVtape::encrypt(char* src, int length) {
    auto* area = reinterpret_cast<unsigned char*>(encBfr.getBfr(length, maxRecordSize));
    if (length < 1 || src == nullptr) return length;
    scramble(area, reinterpret_cast<const unsigned char*>(src), static_cast<std::size_t>(length));
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
        scramble(reinterpret_cast<unsigned char*>(dst), area, static_cast<std::size_t>(n));
    }
    return static_cast<int>(stored);
}
