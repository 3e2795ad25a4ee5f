// The write path: one block (or tapemark) as a chain of segments, with the
// optional transforms applied to the whole block first, then the image
// truncated right after it as on a real tape.
#include "internal.h"

#include <cerrno>
#include <unistd.h>

namespace {

// Where a failed block write leaves the object: back at the block start with
// the header fields of that moment, so a retry chains its prevLen to the
// segment that really ends there.
int abandonBlock(ORVtape& t, long long blockStart, const orv::HeaderFields& before, int code) {
    const int err = errno;
    t.setPosition(blockStart);
    before.restore(t);
    errno = err;  // write() records the errno of the failed call, not of the seek
    return code;
}

}  // namespace

int ORVtape::writeBlk(const void* data, unsigned int length) {
    if (length > static_cast<unsigned int>(maxRecordSize)) return -13;
    orv::refreshPosition(*this);
    const long long blockStart = curPos;
    // A failed position query leaves no block start to write at, go back to
    // or truncate after: refuse before anything reaches the image.
    if (blockStart < 0) return -11;
    const orv::HeaderFields before = orv::HeaderFields::of(*this);

    // Data must come with a pointer: refuse before any header reaches the image.
    if (data == nullptr && length > 0) {
        errno = EFAULT;
        return -12;
    }

    const orv::Encoded stored = orv::encodeBlock(cmpBfr, encBfr, maxRecordSize, cmpLevel, data, length,
                                                 compressOn, encryptOn);
    const char* payload = stored.payload;
    maxSegLen = orv::clampSegLen(maxSegLen);

    long long pos = blockStart;
    unsigned long long total = 0;
    orv::SegmentCutter cut(stored.length, static_cast<unsigned int>(maxSegLen), stored.xform);
    unsigned char hdr[orv::kHeaderSize];
    unsigned int n = 0;
    while (cut.next(static_cast<unsigned>(curBlkLen), hdr, &n)) {
        if (orv::writeHdrAt(*this, hdr, pos) != 0)
            return abandonBlock(*this, blockStart, before, -11);
        pos += orv::kHeaderSize;
        if (n > 0) {
            if (::write(fd, payload, n) != static_cast<ssize_t>(n))
                return abandonBlock(*this, blockStart, before, -12);
            payload += n;
            pos += n;
        }
        total += n;
    }

    newImage = false;
    orv::notePosition(*this, pos);
    eodPos = curPos;
    (void)ftruncate64(fd, curPos);
    ++blockID;
    if (maxTapeLen != 0) eot = static_cast<unsigned long long>(curPos) >= maxTapeLen;
    tapemark = total == 0;
    if (tapemark) ++fileNumber;
    if (sync && fdatasync(fd) != 0) {
        const int err = errno;
        abandonBlock(*this, blockStart, before, -1);
        lastErrno = err;
        lastRC = -1;
        return -1;
    }
    return static_cast<int>(length);
}

int ORVtape::write(const void* data, unsigned int length) {
    const int r = writeBlk(data, length);
    lastRC = r;
    lastErrno = r < 0 ? errno : 0;
    return r;
}

int ORVtape::wtm(unsigned int count) {
    if (count == 0) {
        lastRC = 0;
        return 0;
    }
    for (unsigned int i = 0; i < count; ++i) {
        const int r = writeBlk(nullptr, 0);
        lastRC = r;
        if (r < 0) {
            lastErrno = errno;
            return r;
        }
        lastErrno = 0;
    }
    lastRC = 0;
    return 0;
}
