// The read path: one block forwards, its segments gathered straight into the
// caller's buffer (plain) or into a work buffer (transformed), and forward
// spacing over records and files.
#include "internal.h"

#include <cerrno>
#include <unistd.h>

namespace {

using orv::HeaderFields;

// Everything one readBlk call needs to undo on failure.
struct BlockRead {
    ORVtape& t;
    long long start;
    HeaderFields before;

    int fail(int code) const {
        t.setPosition(start);
        before.restore(t);
        t.lastRC = code;
        return code;
    }
};

}  // namespace

int ORVtape::readBlk(void* buffer, unsigned int size, int* lengthOut) {
    if (lengthOut) *lengthOut = 0;
    orv::refreshPosition(*this);
    const BlockRead blk{*this, curPos, HeaderFields::of(*this)};
    // Without a known start every later offset would be wrong, and a skipped
    // payload would move the tape to the wrong place.
    if (fd >= 0 && blk.start < 0) return blk.fail(-2);

    unsigned char hdr[orv::kHeaderSize];
    int rc = orv::readHdrAt(*this, hdr, blk.start);
    if (rc != 0) return blk.fail(rc);

    if (hdr[4] & HF1_TM) {
        // Nothing after a tapemark's header is skipped, so the segment that
        // ends here is the bare header, whatever curLen a damaged one claims.
        curBlkLen = 0;
        ++fileNumber;
        ++blockID;
        tapemark = true;
        orv::notePosition(*this, blk.start + orv::kHeaderSize);
        lastRC = 0;
        return 0;
    }
    if (orv::checkFirstHeader(hdr) != 0) return blk.fail(-10);

    // Destination of the payload: the caller's buffer for a plain block, the
    // work buffer that undoes the outermost transform for a transformed one.
    char* dest = static_cast<char*>(buffer);
    unsigned long long limit = buffer ? size : 0;
    const unsigned char first2 = hdr[5];
    const unsigned char xform = orv::blockTransform(first2);
    const bool compressed = xform & HF2_BZ2;
    const bool scrambled = xform & HF2_SCRAMBLE;
    if (compressed) {
        dest = cmpBfr.getBfr(0, maxRecordSize);
        limit = static_cast<unsigned long long>(cmpBfr.capacity);
    }
    if (scrambled) {
        dest = encBfr.getBfr(0, maxRecordSize);
        limit = static_cast<unsigned long long>(encBfr.capacity);
    }

    long long total = 0;
    long long pos = blk.start + orv::kHeaderSize;
    for (;;) {
        const unsigned curLen = orv::curLenOf(hdr);
        if (curLen == 0) return blk.fail(-10);
        // A transformed block larger than its work buffer was written with a
        // larger maximum record size than ours: it cannot be undone here, and
        // nothing beyond the gathered bytes may reach a transform.
        if ((compressed || scrambled) && limit < curLen) return blk.fail(-12);
        orv::notePosition(*this, pos);
        const unsigned n = dest ? static_cast<unsigned>(limit < curLen ? limit : curLen) : 0;
        if (n >= 1) {
            if (::read(fd, dest, n) != static_cast<ssize_t>(n)) return blk.fail(-12);
            dest += n;
            limit -= n;
        }
        pos += curLen;
        if (n < curLen && !setPosition(pos)) return blk.fail(-2);
        total += curLen;
        // A chain that sums beyond what a result can carry is no block.
        if (total > INT_MAX) return blk.fail(-10);
        if (hdr[4] & HF1_EOR) break;
        rc = orv::readHdrAt(*this, hdr, pos);
        if (rc != 0) return blk.fail(rc);
        pos += orv::kHeaderSize;
        if (orv::checkContinuation(hdr, first2) != 0) return blk.fail(-10);
    }
    orv::notePosition(*this, pos);

    // Sizes of 2^31 and more are handed to the transforms as the largest int:
    // they never write beyond the block's length anyway.
    const int callerSize = buffer ? orv::clampToInt(size) : 0;
    int length = static_cast<int>(total);
    if (xform) {
        // The gathered payload sits in the work buffer of the outermost transform.
        if (scrambled) encBfr.dataLen = static_cast<unsigned int>(length);
        if (compressed) cmpBfr.dataLen = static_cast<unsigned int>(length);
        const auto* stored = reinterpret_cast<const unsigned char*>(scrambled ? encBfr.aligned : cmpBfr.aligned);
        length = orv::decodeBlock(stored, static_cast<unsigned int>(length), xform,
                                  reinterpret_cast<unsigned char*>(cmpBfr.aligned), cmpBfr.capacity,
                                  static_cast<char*>(buffer), callerSize);
        if (length < 0) return blk.fail(-12);
    }
    if (lengthOut) *lengthOut = length;
    tapemark = false;
    ++blockID;
    lastRC = 0;
    return length;
}

int ORVtape::read(void* buffer, unsigned int size) {
    const int r = readBlk(buffer, size, nullptr);
    lastRC = r;
    lastErrno = r < 0 ? errno : 0;
    return r;
}

int ORVtape::fsr(unsigned int count) {
    for (unsigned int i = 0; i < count; ++i)
        if (readBlk(nullptr, 0, nullptr) < 0) return lastRC;
    lastRC = 0;
    return 0;
}

int ORVtape::fsf(unsigned int count) {
    while (count > 0) {
        if (readBlk(nullptr, 0, nullptr) < 0) return lastRC;
        if (tapemark) --count;
    }
    lastRC = 0;
    return 0;
}
