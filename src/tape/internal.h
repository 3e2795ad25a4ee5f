// Shared helpers of the tape image engine (the format itself is in
// format.h): the header field snapshot that failed operations restore, and
// the known-offset refresh that spares a position query when the engine
// already knows where the descriptor stands.
#ifndef ORV_TAPE_INTERNAL_H
#define ORV_TAPE_INTERNAL_H

#include "format.h"

#include <climits>
#include <cstdint>

namespace orv {

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

}  // namespace orv

#endif  // ORV_TAPE_INTERNAL_H
