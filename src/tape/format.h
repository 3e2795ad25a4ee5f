// The image format in one place: header layout and flag rules, how a block
// is cut into segments, the length prefix and the two payload transforms.
// The drive engine and the streaming reader, writer and codec all go through
// these helpers, so the format cannot drift between the two paths.
#ifndef ORV_TAPE_FORMAT_H
#define ORV_TAPE_FORMAT_H

#include "ORVtape.h"

#include <climits>
#include <cstddef>

namespace orv {

constexpr int kHeaderSize = 6;
constexpr int kMinRecordSize = 4194304;
constexpr int kMinSegment = 16;
constexpr int kMaxSegment = 65535;
constexpr unsigned char kReservedFlags1 = 0x1F;
constexpr unsigned char kReservedFlags2 = 0x7C;
constexpr unsigned char kTransformBits = HF2_BZ2 | HF2_SCRAMBLE;

// ---- Headers -----------------------------------------------------------------

inline unsigned curLenOf(const unsigned char* h) { return h[0] | (h[1] << 8); }
inline unsigned prevLenOf(const unsigned char* h) { return h[2] | (h[3] << 8); }

inline void packHeader(unsigned char* h, unsigned curLen, unsigned prevLen,
                       unsigned char flags1, unsigned char flags2) {
    h[0] = static_cast<unsigned char>(curLen);
    h[1] = static_cast<unsigned char>(curLen >> 8);
    h[2] = static_cast<unsigned char>(prevLen);
    h[3] = static_cast<unsigned char>(prevLen >> 8);
    h[4] = flags1;
    h[5] = flags2;
}

inline bool hasReservedBits(const unsigned char* h) {
    return (h[4] & kReservedFlags1) || (h[5] & kReservedFlags2);
}

// flags2 as it goes to disk: a transform bit never appears without XFORM.
inline unsigned char diskFlags2(unsigned char flags2) {
    return (flags2 & kTransformBits) ? static_cast<unsigned char>(flags2 | HF2_XFORM) : flags2;
}

// The segment size every block write uses: 16 to 65535.
inline int clampSegLen(int s) { return s < kMinSegment ? kMinSegment : s > kMaxSegment ? kMaxSegment : s; }

// Cuts a stored payload into the segments of one block; 0 bytes make the one
// header of a tapemark.  Headers come out as the drive's writeHdr takes them
// (flags2 without XFORM); diskFlags2 gives the bytes on disk.
class SegmentCutter {
public:
    SegmentCutter(unsigned payloadLen, unsigned segLen, unsigned char xform)
        : remaining_(payloadLen), seg_(segLen), xform_(xform) {}
    // The next segment's header, chained to prevLen, and its payload length;
    // false once the block is complete.
    bool next(unsigned prevLen, unsigned char* hdr, unsigned* n) {
        if (!first_ && remaining_ == 0) return false;
        const unsigned k = remaining_ < seg_ ? remaining_ : seg_;
        unsigned char flags1 = 0;
        if (first_) flags1 = k == 0 ? HF1_TM : HF1_BOR;
        if (k > 0 && k == remaining_) flags1 |= HF1_EOR;
        packHeader(hdr, k, prevLen, flags1, k > 0 ? xform_ : 0);
        remaining_ -= k;
        first_ = false;
        *n = k;
        return true;
    }
    // Headers a payload of len bytes needs.
    static unsigned count(unsigned len, unsigned segLen) { return len == 0 ? 1 : (len - 1) / segLen + 1; }

private:
    unsigned remaining_, seg_;
    unsigned char xform_;
    bool first_ = true;
};

// ---- Block rules of the read path (-10: not a well-formed block) ---------------

// A data block's first header (tapemarks are recognised before): it must
// start a block and may carry transform bits only together with XFORM.
inline int checkFirstHeader(const unsigned char* h) {
    if (!(h[4] & HF1_BOR)) return -10;
    if (!(h[5] & HF2_XFORM) && (h[5] & kTransformBits)) return -10;
    return 0;
}

// The transform a block's first header puts in force (BZ2 and SCRAMBLE bits).
inline unsigned char blockTransform(unsigned char first2) {
    return (first2 & HF2_XFORM) ? static_cast<unsigned char>(first2 & kTransformBits) : 0;
}

// A continuation header: neither a block start nor a tapemark, and carrying
// XFORM and every transform bit of a transformed block.
inline int checkContinuation(const unsigned char* h, unsigned char first2) {
    if (h[4] & (HF1_BOR | HF1_TM)) return -10;
    if (!(first2 & HF2_XFORM)) return 0;
    const unsigned char need = HF2_XFORM | blockTransform(first2);
    return (h[5] & need) == need ? 0 : -10;
}

// ---- Header chain rules of validate (-10 to -22) -----------------------------

// What the walk remembers about the block it is inside.
struct WalkState {
    unsigned int count = 0;
    unsigned int expectedPrev = 0;
    bool beginsBlock = true;
    unsigned char blockBits = 0;  // XFORM, BZ2 and SCRAMBLE of the block's first header
};

// The rules for one header in its place in the walk, prevLen included; 0 when
// it fits, and then the walk has accepted it.
int walkHeader(const unsigned char* h, WalkState& w, bool* multiSeg, bool* compressed);

// Sets validate's outputs to "nothing found" before a walk, so a failure at
// the first header reports them defined; returns where the walk keeps the
// last header (own when the caller passed no buffer).
unsigned char* startValidateOutputs(long long* lastHdrOffset, void* hdrOut, unsigned char* own, bool* multiSeg,
                                    bool* compressed);

// ---- Work buffers and payload transforms ---------------------------------------

// Capacity that OrvTapeWorkBuffer::getBfr(need, minimum) provides: nine
// eighths of the larger of the two (4 MiB floor), rounded to 8.
long long workCapacity(int need, int minimum);

int writeLengthPrefix(unsigned char* out, unsigned int value);
// Decodes a prefix within avail bytes; -1 when it does not end there or within
// five bytes, or exceeds an int.  used receives its size.
long long readLengthPrefix(const unsigned char* in, unsigned int avail, int* used);

// The positional XOR stream: dst[i] = src[i] ^ (255 - i % 256); its own inverse.
void scramble(unsigned char* dst, const unsigned char* src, std::size_t n);

// Length prefix and bzip2 stream of src into area (capacity bytes): bytes
// written, or -1.
int compressBlock(unsigned char* area, int capacity, const char* src, int length, int level);
// Decompresses the avail stored bytes at area into dst (size bytes): the
// length from the prefix (also with no dst), or -1.
int decompressBlock(const unsigned char* area, unsigned int avail, char* dst, int size);

// A block in its stored form, as the write path makes it.
struct Encoded {
    const char* payload;
    unsigned int length;
    unsigned char xform;  // BZ2 and SCRAMBLE, without XFORM
};
// Compresses when asked and the result is shorter, then scrambles when asked;
// uses the two work buffers; a tapemark (no data or 0 bytes) is left alone.
Encoded encodeBlock(ORVtape::OrvTapeWorkBuffer& cmp, ORVtape::OrvTapeWorkBuffer& enc, int maxRecordSize,
                    unsigned char level, const void* data, unsigned int length, bool compress, bool scramble);
// Undoes the transforms of a gathered stored payload: unscrambles (into
// scratch when also compressed, else into dst), then decompresses into dst.
// Returns the block length (the stored length when not compressed), or -1.
int decodeBlock(const unsigned char* stored, unsigned int storedLen, unsigned char xform,
                unsigned char* scratch, int scratchCap, char* dst, int dstSize);

// Largest count that a signed 32-bit size argument can carry.
inline int clampToInt(unsigned long long v) {
    return v > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

}  // namespace orv

#endif  // ORV_TAPE_FORMAT_H
