// The format helpers that are not one-liners: the header chain rules of the
// validating walk, work buffer sizing, the length prefix, the scramble, bzip2
// behind the prefix, and the encode and decode sequences of a whole block.
#include "format.h"

#include <bzlib.h>
#include <cstring>

namespace orv {

unsigned char* startValidateOutputs(long long* lastHdrOffset, void* hdrOut, unsigned char* own, bool* multiSeg,
                                    bool* compressed) {
    auto* hdr = hdrOut ? static_cast<unsigned char*>(hdrOut) : own;
    if (lastHdrOffset) *lastHdrOffset = -1;
    std::memset(hdr, 0, kHeaderSize);
    if (multiSeg) *multiSeg = false;
    if (compressed) *compressed = false;
    return hdr;
}

int walkHeader(const unsigned char* h, WalkState& w, bool* multiSeg, bool* compressed) {
    const unsigned curLen = curLenOf(h);
    const unsigned char flags1 = h[4];
    if (w.beginsBlock) {
        w.blockBits = h[5] & (HF2_XFORM | kTransformBits);
        if ((w.blockBits & HF2_BZ2) && compressed) *compressed = true;
        if (flags1 & HF1_TM) {
            if (flags1 & (HF1_BOR | HF1_EOR)) return -10;
            if (w.blockBits) return -11;
            if (curLen != 0) return -12;
            w.blockBits = 0;
        } else if (curLen == 0) {
            return -14;
        }
    } else {
        if (multiSeg) *multiSeg = true;
        if (flags1 & HF1_TM) return -15;
        if (flags1 & HF1_BOR) return -16;
        if (curLen == 0) return -17;
        if (w.blockBits & HF2_XFORM) {
            if ((w.blockBits & HF2_BZ2) && !(h[5] & HF2_BZ2)) return -21;
            if ((w.blockBits & HF2_SCRAMBLE) && !(h[5] & HF2_SCRAMBLE)) return -22;
        } else if (w.blockBits & kTransformBits) {
            return -20;
        }
    }
    // The flag rules come before the chain rule.
    if (prevLenOf(h) != w.expectedPrev) return -18;
    w.beginsBlock = (flags1 & (HF1_TM | HF1_EOR)) != 0;
    w.expectedPrev = curLen;
    ++w.count;
    return 0;
}

long long workCapacity(int need, int minimum) {
    long long n = minimum > kMinRecordSize ? minimum : kMinRecordSize;
    if (need > n) n = need;
    const long long rounded = (n + 7) & ~7LL;
    return (rounded + rounded / 8 + 7) & ~7LL;
}

namespace {

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

}  // namespace

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

int compressBlock(unsigned char* area, int capacity, const char* src, int length, int level) {
    const int prefix = writeLengthPrefix(area, static_cast<unsigned int>(length));
    unsigned int streamLen = static_cast<unsigned int>(capacity - prefix);
    char empty = 0;  // libbz2 refuses a null source even for zero bytes
    const int rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(area + prefix), &streamLen,
                                            const_cast<char*>(src ? src : &empty),
                                            static_cast<unsigned int>(length), level, 0, 0);
    if (rc != BZ_OK) return -1;
    return prefix + static_cast<int>(streamLen);
}

int decompressBlock(const unsigned char* area, unsigned int avail, char* dst, int size) {
    int used = 0;
    const long long value = readLengthPrefix(area, avail, &used);
    if (value < 0) return -1;
    if (dst == nullptr || size <= 0) return static_cast<int>(value);
    // Never let the stream run past the length its prefix promises: the
    // caller may have sized the buffer from it (or announced a size it does
    // not have), and a longer stream is a damaged block anyway.
    unsigned int produced = static_cast<unsigned int>(size < value ? size : value);
    const int rc = BZ2_bzBuffToBuffDecompress(dst, &produced, reinterpret_cast<char*>(const_cast<unsigned char*>(area + used)),
                                              avail - static_cast<unsigned int>(used), 0, 0);
    if (rc == BZ_OK) return produced == value ? static_cast<int>(value) : -1;
    if (rc == BZ_OUTBUFF_FULL && size < value && produced == static_cast<unsigned int>(size))
        return static_cast<int>(value);
    return -1;
}

Encoded encodeBlock(ORVtape::OrvTapeWorkBuffer& cmp, ORVtape::OrvTapeWorkBuffer& enc, int maxRecordSize,
                    unsigned char level, const void* data, unsigned int length, bool compress, bool scrambleOn) {
    Encoded e{static_cast<const char*>(data), length, 0};
    // Tapemarks skip the transforms: there is nothing to transform, and a
    // session that only writes tapemarks should not allocate work buffers.
    if (data == nullptr || length == 0) return e;
    if (compress) {
        auto* area = reinterpret_cast<unsigned char*>(cmp.getBfr(static_cast<int>(length), maxRecordSize));
        const int c = compressBlock(area, cmp.capacity, e.payload, static_cast<int>(length), level);
        if (c > 0 && static_cast<unsigned int>(c) < length) {
            e.payload = cmp.getBfr(0, maxRecordSize);
            e.length = static_cast<unsigned int>(c);
            e.xform |= HF2_BZ2;
        }
    }
    if (scrambleOn) {
        auto* area = reinterpret_cast<unsigned char*>(enc.getBfr(static_cast<int>(e.length), maxRecordSize));
        scramble(area, reinterpret_cast<const unsigned char*>(e.payload), e.length);
        e.payload = enc.getBfr(0, maxRecordSize);
        e.xform |= HF2_SCRAMBLE;
    }
    return e;
}

int decodeBlock(const unsigned char* stored, unsigned int storedLen, unsigned char xform,
                unsigned char* scratch, int scratchCap, char* dst, int dstSize) {
    const bool compressed = xform & HF2_BZ2;
    if (xform & HF2_SCRAMBLE) {
        // Never beyond the data or the area that receives it.
        unsigned long long n = storedLen;
        unsigned char* out = compressed ? scratch : reinterpret_cast<unsigned char*>(dst);
        const int room = compressed ? scratchCap : dstSize;
        if (n > static_cast<unsigned long long>(room < 0 ? 0 : room)) n = static_cast<unsigned long long>(room < 0 ? 0 : room);
        if (out != nullptr && n > 0) scramble(out, stored, static_cast<std::size_t>(n));
        if (!compressed) return static_cast<int>(storedLen);
        stored = scratch;
        storedLen = static_cast<unsigned int>(n);
    }
    if (compressed) return decompressBlock(stored, storedLen, dst, dstSize);
    return static_cast<int>(storedLen);
}

}  // namespace orv
