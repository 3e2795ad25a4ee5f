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

    const char* payload = static_cast<const char*>(data);
    unsigned int payloadLen = length;
    unsigned char xform = 0;
    // Tapemarks skip the transforms: there is nothing to transform, and a
    // session that only writes tapemarks should not allocate work buffers.
    if (compressOn && data != nullptr && length > 0) {
        const int c = compress(const_cast<char*>(payload), static_cast<int>(length));
        if (c > 0 && static_cast<unsigned int>(c) < length) {
            payload = cmpBfr.getBfr(0, maxRecordSize);
            payloadLen = static_cast<unsigned int>(c);
            xform |= HF2_BZ2;
        }
    }
    if (encryptOn && data != nullptr && length > 0) {
        encrypt(const_cast<char*>(payload), static_cast<int>(payloadLen));
        payload = encBfr.getBfr(0, maxRecordSize);
        xform |= HF2_SCRAMBLE;
    }

    if (maxSegLen < 16) maxSegLen = 16;
    if (maxSegLen > orv::kMaxSegment) maxSegLen = orv::kMaxSegment;
    const unsigned int segSize = static_cast<unsigned int>(maxSegLen);

    long long pos = blockStart;
    unsigned int remaining = payloadLen;
    unsigned long long total = 0;
    bool first = true;
    do {
        const unsigned int n = remaining < segSize ? remaining : segSize;
        unsigned char flags1 = 0;
        if (first) flags1 = n == 0 ? HF1_TM : HF1_BOR;
        if (n > 0 && n == remaining) flags1 |= HF1_EOR;
        unsigned char hdr[orv::kHeaderSize];
        orv::packHeader(hdr, n, static_cast<unsigned>(curBlkLen), flags1, n > 0 ? xform : 0);
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
        remaining -= n;
        first = false;
    } while (remaining > 0);

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
