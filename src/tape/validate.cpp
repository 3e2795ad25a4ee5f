// Read-only inspection: the header chain of a whole image, and the length
// prefix of a compressed payload read in place.
#include "internal.h"

#include <cstring>
#include <unistd.h>

int ORVtape::validate(long long* lastHdrOffset, void* hdrOut, bool* multiSeg, bool* compressed) {
    if (fd < 0) {
        lastErrno = 0;
        lastRC = -1;
        return -1;
    }
    unsigned char own[orv::kHeaderSize];
    unsigned char* hdr = orv::startValidateOutputs(lastHdrOffset, hdrOut, own, multiSeg, compressed);

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

    orv::WalkState walk;
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
        if (rc == 0) rc = orv::walkHeader(hdr, walk, multiSeg, compressed);
        if (rc != 0) {
            lastRC = rc;
            return rc;
        }
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
