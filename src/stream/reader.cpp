// The sequential reader: the image passes through a large window filled by
// pread, and every block is judged by the read path's rules (format.h), as
// ORVtape::read judges it into a buffer of the maximum record size.
#include "orvTapeStream.h"

#include "ORVtape.h"
#include "../tape/format.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Large enough that a card volume costs one read call per 12,000 blocks,
// small enough to stay in the cache next to a block being decoded.
constexpr std::size_t kWindow = 1u << 20;
// A header that follows a large payload which is only passed over is read
// with a small call: reading the payload in between would cost more.
constexpr unsigned kLargePayload = 16u << 10;
constexpr std::size_t kSmall = 512;
}  // namespace

struct ORVTAPE_LOCAL ORVtapeReader::Impl {
    int fd = -1;
    int err = 0;
    int maxRecordSize = orv::kMinRecordSize;
    std::unique_ptr<unsigned char[]> win;
    long long winStart = 0;
    std::size_t winLen = 0;
    bool winEnds = false;  // the window stops where the file (or a read) did
    int winError = 0;      // errno of the read that cut the window short, 0 when the file ended there
    long long pos = 0;
    unsigned passed = 0;  // payload bytes just before pos that were passed, not read
    int blockID = 0, fileNumber = 0;
    std::unique_ptr<unsigned char[]> gather;  // the stored payload of a block of several segments
    std::size_t gatherCap = 0;
    ORVtapeCodec codec;

    void refill(long long off, std::size_t size) {
        std::size_t got = 0;
        winEnds = false;
        winError = 0;
        while (got < size) {
            const ssize_t r = ::pread(fd, win.get() + got, size - got, off + static_cast<long long>(got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                winError = r < 0 ? errno : 0;
                winEnds = true;
                break;
            }
            got += static_cast<std::size_t>(r);
        }
        winStart = off;
        winLen = got;
    }

    // Makes the n bytes at off (n at most the window) contiguous; returns how
    // many of them the file has, fewer only at its end or after a read error.
    // after: the payload passed just before off, which decides the read size.
    std::size_t fetch(long long off, std::size_t n, const unsigned char** p, unsigned after = 0) {
        const long long end = winStart + static_cast<long long>(winLen);
        const bool inside = off >= winStart && off <= end;
        if (!inside || (static_cast<std::size_t>(end - off) < n && !winEnds))
            refill(off, after >= kLargePayload && n <= kSmall ? kSmall : kWindow);
        const std::size_t have = winLen - static_cast<std::size_t>(off - winStart);
        *p = win.get() + (off - winStart);
        if (have < n && winError) err = winError;  // short for a failure, not for the file's end
        return have < n ? have : n;
    }

    // A failed read is the failure of the call that met it only: the next
    // call reads those bytes afresh rather than take them for the end.
    void forgetFailedRead() {
        if (!winError) return;
        winLen = 0;
        winEnds = false;
        winError = 0;
    }

    // Copies the n bytes at off to dst through the window; false when the
    // file ends or fails first.
    bool copyOut(long long off, std::size_t n, unsigned char* dst) {
        while (n > 0) {
            const unsigned char* p;
            const std::size_t want = n < kWindow ? n : kWindow;
            const std::size_t got = fetch(off, want, &p);
            if (got == 0) return false;
            std::memcpy(dst, p, got);
            dst += got, off += static_cast<long long>(got), n -= got;
        }
        return true;
    }

    void reserveGather(std::size_t n) {
        if (n <= gatherCap) return;
        std::size_t cap = gatherCap ? gatherCap : kWindow;
        while (cap < n) cap *= 2;
        std::unique_ptr<unsigned char[]> bigger(new unsigned char[cap]);
        if (gatherCap) std::memcpy(bigger.get(), gather.get(), gatherCap);
        gather = std::move(bigger);
        gatherCap = cap;
    }

    int next(orvTapeBlockInfo* b, orvTapeReadMode mode);
    int validate(long long* lastHdrOffset, unsigned char* hdr, bool* multiSeg, bool* compressed);
};

ORVtapeReader::ORVtapeReader() : impl(new Impl) {}
ORVtapeReader::~ORVtapeReader() {
    close();
    delete impl;
}

int ORVtapeReader::open(const char* path) {
    if (impl->fd >= 0 || path == nullptr) {
        impl->err = impl->fd >= 0 ? EBUSY : EFAULT;
        return -1;
    }
    const int f = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (f < 0 || fstat(f, &st) != 0 || S_ISDIR(st.st_mode)) {
        impl->err = f < 0 ? errno : EISDIR;
        if (f >= 0) ::close(f);
        return -1;
    }
    if (!impl->win) impl->win.reset(new unsigned char[kWindow]);
    impl->fd = f;
    impl->err = 0;
    impl->winLen = 0;
    impl->winEnds = false;
    impl->winError = 0;
    rewind();
    return 0;
}

int ORVtapeReader::close() {
    if (impl->fd < 0) return 0;
    const int r = ::close(impl->fd);
    impl->fd = -1;
    impl->err = r < 0 ? errno : 0;
    return r < 0 ? -1 : 0;
}

void ORVtapeReader::setMaxRecordSize(int size) {
    if (size > impl->maxRecordSize) impl->maxRecordSize = size;
    impl->codec.setMaxRecordSize(size);
}

int ORVtapeReader::rewind() { return seek(0, 0, 0); }

int ORVtapeReader::seek(long long offset, int blockNumber, int fileNumber) {
    if (impl->fd < 0 || offset < 0 || blockNumber < 0 || fileNumber < 0) return -1;
    impl->pos = offset;
    impl->passed = 0;
    impl->blockID = blockNumber;
    impl->fileNumber = fileNumber;
    return 0;
}

int ORVtapeReader::lastErrno() const { return impl->err; }

int ORVtapeReader::next(orvTapeBlockInfo* block, orvTapeReadMode mode) {
    if (impl->fd < 0 || block == nullptr) return -1;
    return impl->next(block, mode);
}

int ORVtapeReader::Impl::next(orvTapeBlockInfo* b, orvTapeReadMode mode) {
    *b = orvTapeBlockInfo();
    b->offset = pos;
    b->end = pos;
    b->blockNumber = blockID;
    b->fileNumber = fileNumber;
    err = 0;
    forgetFailedRead();
    const unsigned char* p;
    if (fetch(pos, orv::kHeaderSize, &p, passed) < static_cast<std::size_t>(orv::kHeaderSize)) return -2;
    unsigned char hdr[orv::kHeaderSize];
    std::memcpy(hdr, p, sizeof hdr);
    if (orv::hasReservedBits(hdr)) return -3;
    b->flags2 = hdr[5];
    if (hdr[4] & HF1_TM) {
        // As on the drive, nothing after a tapemark's header is passed over.
        b->tapemark = true;
        b->segments = 1;
        b->end = pos += orv::kHeaderSize;
        passed = 0;
        ++blockID;
        ++fileNumber;
        return 0;
    }
    if (orv::checkFirstHeader(hdr) != 0) return -10;
    const unsigned char first2 = hdr[5];
    const unsigned char xform = orv::blockTransform(first2);
    // What the drive gathers: a transformed block whole into a work buffer,
    // a plain one as far as the caller's buffer (the record size) reaches,
    // nothing of it when only passing.
    const bool plainRead = mode != ORVTAPE_READ_PASS;
    const unsigned long long limit = xform ? static_cast<unsigned long long>(orv::workCapacity(0, maxRecordSize))
                                     : plainRead ? static_cast<unsigned long long>(maxRecordSize) : 0;
    const unsigned firstLen = orv::curLenOf(hdr);
    if (firstLen == 0) return -10;
    unsigned long long total = 0;
    long long at = pos;
    if ((hdr[4] & HF1_EOR) && limit > 0) {
        // One segment: its payload is read in place, without a copy.
        if (fetch(at, orv::kHeaderSize + firstLen, &p) < orv::kHeaderSize + firstLen) return -12;
        b->stored = p + orv::kHeaderSize;
        total = firstLen;
        b->segments = 1;
        at += orv::kHeaderSize + firstLen;
    } else {
        for (;;) {
            const unsigned curLen = orv::curLenOf(hdr);
            if (curLen == 0) return -10;
            if (xform && total + curLen > limit) return -12;
            const unsigned n = total >= limit ? 0 : static_cast<unsigned>(limit - total < curLen ? limit - total : curLen);
            if (n > 0) {
                reserveGather(static_cast<std::size_t>(total) + n);
                if (!copyOut(at + orv::kHeaderSize, n, gather.get() + total)) return -12;
            }
            total += curLen;
            at += orv::kHeaderSize + curLen;
            ++b->segments;
            // A chain that sums beyond what a result can carry is no block.
            if (total > static_cast<unsigned long long>(INT_MAX)) return -10;
            if (hdr[4] & HF1_EOR) break;
            if (fetch(at, orv::kHeaderSize, &p, curLen - n) < static_cast<std::size_t>(orv::kHeaderSize)) return -2;
            std::memcpy(hdr, p, sizeof hdr);
            if (orv::hasReservedBits(hdr)) return -3;
            if (orv::checkContinuation(hdr, first2) != 0) return -10;
        }
        if (limit > 0) b->stored = gather.get();
    }
    b->storedLength = static_cast<unsigned int>(total);
    // Less than the payload only for a plain block longer than the limit.
    b->storedValid = b->stored ? static_cast<unsigned int>(total < limit ? total : limit) : 0;
    b->lastSegment = orv::curLenOf(hdr);
    if (!xform) {
        b->length = static_cast<int>(total);
        b->data = b->stored;
        b->dataLength = b->storedValid;
    } else {
        b->length = mode == ORVTAPE_READ_DECODE
                        ? codec.decode(b->stored, b->storedLength, first2, &b->data, &b->dataLength)
                        : codec.length(b->stored, b->storedLength, first2);
        if (b->length < 0) {
            b->data = nullptr;
            b->dataLength = 0;
            return -12;
        }
    }
    b->end = pos = at;
    passed = limit > 0 ? 0 : b->lastSegment;
    ++blockID;
    return b->length;
}

int ORVtapeReader::validate(long long* lastHdrOffset, void* hdrOut, bool* multiSeg, bool* compressed) {
    if (impl->fd < 0) {
        impl->err = 0;
        return -1;
    }
    unsigned char own[orv::kHeaderSize];
    unsigned char* hdr = orv::startValidateOutputs(lastHdrOffset, hdrOut, own, multiSeg, compressed);
    return impl->validate(lastHdrOffset, hdr, multiSeg, compressed);
}

int ORVtapeReader::Impl::validate(long long* lastHdrOffset, unsigned char* hdr, bool* multiSeg, bool* compressed) {
    err = 0;
    forgetFailedRead();
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = errno;
        return -2;
    }
    orv::WalkState walk;
    for (long long offset = 0; offset < st.st_size;) {
        if (lastHdrOffset) *lastHdrOffset = offset;
        const unsigned char* p;
        const std::size_t got = fetch(offset, orv::kHeaderSize, &p, walk.expectedPrev);
        std::memcpy(hdr, p, got);
        if (got < static_cast<std::size_t>(orv::kHeaderSize)) return -2;
        if (orv::hasReservedBits(hdr)) return -3;
        const int rc = orv::walkHeader(hdr, walk, multiSeg, compressed);
        if (rc != 0) return rc;
        offset += orv::kHeaderSize + orv::curLenOf(hdr);
    }
    return static_cast<int>(walk.count);
}
