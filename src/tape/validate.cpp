// Read-only inspection: the header chain of a whole image, and the length
// prefix of a compressed payload read in place.
#include "internal.h"

#include <cstring>
#include <unistd.h>

namespace {

// What the walk remembers about the block it is inside.
struct WalkState {
    unsigned int count = 0;
    unsigned int expectedPrev = 0;
    bool beginsBlock = true;
    unsigned char blockBits = 0;  // XFORM, BZ2 and SCRAMBLE of the block's first header
};

// The flag rules for one header; 0 when it fits its place in the walk.
int checkHeader(const unsigned char* h, WalkState& w, bool* multiSeg, bool* compressed) {
    const unsigned curLen = orv::curLenOf(h);
    const unsigned char flags1 = h[4];
    if (w.beginsBlock) {
        w.blockBits = h[5] & (HF2_XFORM | orv::kTransformBits);
        if ((w.blockBits & HF2_BZ2) && compressed) *compressed = true;
        if (flags1 & HF1_TM) {
            if (flags1 & (HF1_BOR | HF1_EOR)) return -10;
            if (w.blockBits) return -11;
            if (curLen != 0) return -12;
            w.blockBits = 0;
        } else if (curLen == 0) {
            return -14;
        }
        return 0;
    }
    if (multiSeg) *multiSeg = true;
    if (flags1 & HF1_TM) return -15;
    if (flags1 & HF1_BOR) return -16;
    if (curLen == 0) return -17;
    if (w.blockBits & HF2_XFORM) {
        if ((w.blockBits & HF2_BZ2) && !(h[5] & HF2_BZ2)) return -21;
        if ((w.blockBits & HF2_SCRAMBLE) && !(h[5] & HF2_SCRAMBLE)) return -22;
    } else if (w.blockBits & orv::kTransformBits) {
        return -20;
    }
    return 0;
}

}  // namespace

int ORVtape::validate(long long* lastHdrOffset, void* hdrOut, bool* multiSeg, bool* compressed) {
    if (fd < 0) {
        lastErrno = 0;
        lastRC = -1;
        return -1;
    }
    unsigned char own[orv::kHeaderSize];
    auto* hdr = hdrOut ? static_cast<unsigned char*>(hdrOut) : own;
    if (lastHdrOffset) *lastHdrOffset = -1;
    std::memset(hdr, 0, orv::kHeaderSize);
    if (multiSeg) *multiSeg = false;
    if (compressed) *compressed = false;

    getPosition();
    const long long saved = curPos;
    // The walk passes every header; the fields are put back on success so
    // that they describe the segment ending at the restored position again.
    const orv::HeaderFields before = orv::HeaderFields::of(*this);
    const long long fileLen = lseek64(fd, 0, SEEK_END);
    if (fileLen < 0) {
        setPosition(saved);
        lastRC = -2;
        return -2;
    }
    if (rew() != 0) {
        lastRC = -2;
        return -2;
    }

    WalkState walk;
    long long offset = curPos;
    for (;;) {
        lastErrno = 0;
        if (static_cast<unsigned long long>(offset) >= static_cast<unsigned long long>(fileLen)) {
            setPosition(saved);
            before.restore(*this);
            lastRC = static_cast<int>(walk.count);
            return lastRC;
        }
        if (lastHdrOffset) *lastHdrOffset = offset;
        int rc = orv::readHdrAt(*this, hdr, offset);
        if (rc == 0) rc = checkHeader(hdr, walk, multiSeg, compressed);
        if (rc == 0 && orv::prevLenOf(hdr) != walk.expectedPrev) rc = -18;
        if (rc != 0) {
            lastRC = rc;
            return rc;
        }
        walk.beginsBlock = (hdr[4] & (HF1_TM | HF1_EOR)) != 0;
        walk.expectedPrev = orv::curLenOf(hdr);
        ++walk.count;
        offset += orv::kHeaderSize + orv::curLenOf(hdr);
        if (!setPosition(offset)) {
            setPosition(saved);
            lastRC = -2;
            return -2;
        }
    }
}

int ORVtape::getSerialLength() {
    getPosition();
    const long long start = curPos;
    if (fd >= 0 && start < 0) {  // no way back to an unknown position
        setPosition(start);
        return -1;
    }
    // A prefix that has not ended after five bytes cannot come from the
    // writer; stopping there spares a byte-per-call crawl through garbage.
    unsigned int value = 0;
    int result = -1;
    for (int i = 0; i < 5; ++i) {
        unsigned char b;
        if (::read(fd, &b, 1) != 1) break;
        value |= static_cast<unsigned int>(b & 0x7F) << (7 * i);
        if (b & 0x80) {
            result = static_cast<int>(value);
            break;
        }
    }
    if (!setPosition(start)) return -1;
    return result;
}
