// Shared helpers of the tape image engine: header byte layout, the header
// field snapshot that failed operations restore, and the known-offset
// refresh that spares a position query when the engine already knows where
// the descriptor stands.
#ifndef ORV_TAPE_INTERNAL_H
#define ORV_TAPE_INTERNAL_H

#include "ORVtape.h"

#include <climits>
#include <cstdint>

namespace orv {

constexpr int kHeaderSize = 6;
constexpr int kMinRecordSize = 4194304;
constexpr int kMaxSegment = 65535;
constexpr unsigned char kReservedFlags1 = 0x1F;
constexpr unsigned char kReservedFlags2 = 0x7C;
constexpr unsigned char kTransformBits = HF2_BZ2 | HF2_SCRAMBLE;

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

// The header fields describe the segment that ends at the current position.
// Every failed operation puts them back together with the position, so that
// the next write chains its prevLen and the next step back starts right.
struct HeaderFields {
    long long hdrPos;
    int curBlkLen;
    int prevBlkLen;
    unsigned char hdrFlags1;
    unsigned char hdrFlags2;

    static HeaderFields of(const ORVtape& t) {
        return {t.hdrPos, t.curBlkLen, t.prevBlkLen, t.hdrFlags1, t.hdrFlags2};
    }
    void restore(ORVtape& t) const {
        t.hdrPos = hdrPos;
        t.curBlkLen = curBlkLen;
        t.prevBlkLen = prevBlkLen;
        t.hdrFlags1 = hdrFlags1;
        t.hdrFlags2 = hdrFlags2;
    }
};

// Same effect as getPosition() when the caller knows the descriptor's
// offset: the engine tracks it through its own reads, writes and seeks
// instead of asking the kernel after each of them.
void notePosition(ORVtape& t, long long pos);

// getPosition() at the start of an operation, without the system call when
// the offset is already known.  Every operation leaves the descriptor at
// curPos, except readHdr and writeHdr (and validate stopped by a bad header),
// which leave it 6 bytes further on with hdrPos equal to curPos: that case,
// and no image or an unknown offset, still ask the kernel.
void refreshPosition(ORVtape& t);

// Header I/O at a known offset (the descriptor stands at pos): the bodies of
// readHdr and writeHdr without their position query.
int readHdrAt(ORVtape& t, unsigned char* hdr, long long pos);
int writeHdrAt(ORVtape& t, const unsigned char* hdr, long long pos);
// readPrevHdr from a known offset.
int readPrevHdrAt(ORVtape& t, unsigned char* hdr, long long pos);

// Largest count that a signed 32-bit size argument can carry.
inline int clampToInt(unsigned long long v) {
    return v > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

}  // namespace orv

#endif  // ORV_TAPE_INTERNAL_H
