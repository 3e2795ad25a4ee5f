// The sequential reader: the image passes through a large window filled by
// pread, and every block is judged by the read path's rules (format.h), as
// ORVtape::read judges it into a buffer of the maximum record size.
#include "orvTapeStream.h"

#include "ORVtape.h"
#include "../tape/format.h"

#include <cerrno>
#include <cstddef>
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
    long long blockLimit = 0;  // 0: no growth of the record size
    long long knownSize = 0;   // the file is at least this long
    std::unique_ptr<unsigned char[]> win;
    long long winStart = 0;
    std::size_t winLen = 0;
    bool winEnds = false;  // the window stops where the file (or a read) did
    int winError = 0;      // errno of the read that cut the window short, 0 when the file ended there
    long long pos = 0;
    unsigned passed = 0;  // payload bytes just before pos that were passed, not read
    long long blockID = 0, fileNumber = 0;
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
        if (off + static_cast<long long>(got) > knownSize) knownSize = off + static_cast<long long>(got);
    }

    // Whether the file reaches end: a compare while what is known suffices,
    // a fresh look at its size otherwise, so that growth is still seen.
    bool reaches(long long end) { return end <= knownSize || reachesNow(end); }
    bool reachesNow(long long end) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            err = errno;
            return false;
        }
        if (st.st_size > knownSize) knownSize = st.st_size;
        return end <= knownSize;
    }

    // A result for bytes that did not come: the read failed, or the file ended.
    int missing() const { return err ? ORVTAPE_ERR_IO : ORVTAPE_ERR_TRUNCATED; }
    // missing() for a header that the file does not hold whole.
    int headerMissing(orvTapeBlockInfo* b) const {
        b->headerCut = !err;
        return missing();
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

    int attach(int f);
    // Inlined into the exported next(): a card walk calls it once a block.
    __attribute__((always_inline)) inline int next(orvTapeBlockInfo* b, orvTapeReadMode mode);
    __attribute__((noinline)) int nextGrown(orvTapeBlockInfo* b, orvTapeReadMode mode);
    // Kept inside next(): a call per block costs a tenth of a card walk.
    __attribute__((always_inline)) inline int gatherBlock(orvTapeBlockInfo* b, orvTapeReadMode mode,
                                                          unsigned char* hdr, long long* at);
    int walkChain(orvTapeChainReport* report, long long* end, unsigned* lastSegment);
};

ORVtapeReader::ORVtapeReader() : impl(new Impl) {}
ORVtapeReader::~ORVtapeReader() {
    close();
    delete impl;
}
ORVtapeReader::ORVtapeReader(ORVtapeReader&& other) noexcept : impl(other.impl) { other.impl = nullptr; }
ORVtapeReader& ORVtapeReader::operator=(ORVtapeReader&& other) noexcept {
    if (this != &other) {
        close();
        delete impl;
        impl = other.impl;
        other.impl = nullptr;
    }
    return *this;
}

// Takes f (the reader's own descriptor) as the image, at the load point.
int ORVtapeReader::Impl::attach(int f) {
    struct stat st;
    if (f < 0 || fstat(f, &st) != 0 || S_ISDIR(st.st_mode)) {
        err = f < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : errno;
        if (f >= 0) ::close(f);
        return ORVTAPE_ERR_IO;
    }
    if (!win) win.reset(new unsigned char[kWindow]);
    fd = f;
    err = 0;
    knownSize = st.st_size;
    winLen = 0;
    winEnds = false;
    winError = 0;
    pos = 0;
    passed = 0;
    blockID = fileNumber = 0;
    return ORVTAPE_OK;
}

int ORVtapeReader::open(const char* path) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    if (path == nullptr) return ORVTAPE_ERR_ARGUMENT;
    close();
    return impl->attach(::open(path, O_RDONLY | O_CLOEXEC));
}

int ORVtapeReader::openFd(int fd) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    close();
    return impl->attach(fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

int ORVtapeReader::close() {
    if (!impl || impl->fd < 0) return ORVTAPE_OK;
    const int r = ::close(impl->fd);
    impl->fd = -1;
    impl->err = r < 0 ? errno : 0;
    return r < 0 ? ORVTAPE_ERR_IO : ORVTAPE_OK;
}

void ORVtapeReader::setMaxRecordSize(int size) {
    if (!impl) return;
    if (size > impl->maxRecordSize) impl->maxRecordSize = size;
    impl->codec.setMaxRecordSize(size);
}

void ORVtapeReader::setBlockLimit(long long limit) {
    if (impl) impl->blockLimit = limit > 0 ? limit : 0;
}

int ORVtapeReader::rewind() { return seek(0, 0, 0); }

int ORVtapeReader::seek(long long offset, long long blockNumber, long long fileNumber) {
    if (!impl || impl->fd < 0) return ORVTAPE_ERR_NOT_OPEN;
    if (offset < 0 || blockNumber < 0 || fileNumber < 0) return ORVTAPE_ERR_ARGUMENT;
    impl->pos = offset;
    impl->passed = 0;
    impl->blockID = blockNumber;
    impl->fileNumber = fileNumber;
    return ORVTAPE_OK;
}

int ORVtapeReader::lastErrno() const { return impl ? impl->err : 0; }

int ORVtapeReader::next(orvTapeBlockInfo* block, orvTapeReadMode mode) {
    if (!impl || impl->fd < 0) return ORVTAPE_ERR_NOT_OPEN;
    if (block == nullptr || block->size < sizeof(orvTapeBlockInfo) || mode < ORVTAPE_READ_PASS ||
        mode > ORVTAPE_READ_DECODE)
        return ORVTAPE_ERR_ARGUMENT;
    const int rc = impl->next(block, mode);
    return rc == ORVTAPE_ERR_TOO_LONG ? impl->nextGrown(block, mode) : rc;
}

// A block within the limit but beyond the record size is read again with
// room for all of it; apart from next(), which runs once a block.
int ORVtapeReader::Impl::nextGrown(orvTapeBlockInfo* block, orvTapeReadMode mode) {
    for (int rc = ORVTAPE_ERR_TOO_LONG;; rc = next(block, mode)) {
        if (rc != ORVTAPE_ERR_TOO_LONG || block->length > blockLimit || block->length <= maxRecordSize) return rc;
        maxRecordSize = block->length;
        codec.setMaxRecordSize(block->length);
    }
}

int ORVtapeReader::Impl::next(orvTapeBlockInfo* b, orvTapeReadMode mode) {
    const unsigned int size = b->size;
    *b = orvTapeBlockInfo();  // later versions' fields, beyond ours, are the caller's to keep
    b->size = size;
    b->offset = pos;
    b->end = pos;
    b->blockNumber = blockID;
    b->fileNumber = fileNumber;
    err = 0;
    forgetFailedRead();
    const unsigned char* p;
    const std::size_t got = fetch(pos, orv::kHeaderSize, &p, passed);
    if (got < static_cast<std::size_t>(orv::kHeaderSize)) return got == 0 && !err ? ORVTAPE_END : headerMissing(b);
    unsigned char hdr[orv::kHeaderSize];
    std::memcpy(hdr, p, sizeof hdr);
    if (orv::hasReservedBits(hdr)) return ORVTAPE_ERR_FLAGS;
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
    if (orv::checkFirstHeader(hdr) != 0 || orv::curLenOf(hdr) == 0) return ORVTAPE_ERR_CHAIN;
    long long at = pos;
    const int rc = gatherBlock(b, mode, hdr, &at);
    if (rc < 0) return rc;
    b->end = pos = at;
    passed = b->stored || orv::blockTransform(b->flags2) ? 0 : b->lastSegment;
    ++blockID;
    return b->length;
}

// Reads the segments of the data block whose first header is hdr, as far as
// mode and the record size say, and works out its length; *at ends after it.
int ORVtapeReader::Impl::gatherBlock(orvTapeBlockInfo* b, orvTapeReadMode mode, unsigned char* hdr, long long* at) {
    const unsigned char first2 = hdr[5];
    const unsigned char xform = orv::blockTransform(first2);
    // What the drive gathers: a transformed block whole into a work buffer,
    // a plain one as far as the caller's buffer (the record size) reaches,
    // nothing of it when only passing.
    const bool plainRead = mode != ORVTAPE_READ_PASS;
    const unsigned long long limit = xform ? static_cast<unsigned long long>(orv::workCapacity(0, maxRecordSize))
                                     : plainRead ? static_cast<unsigned long long>(maxRecordSize) : 0;
    const unsigned firstLen = orv::curLenOf(hdr);
    const unsigned char* p;
    unsigned long long total = 0;
    if (hdr[4] & HF1_EOR) {
        // One segment: its payload is read in place, without a copy, or
        // passed over (it must still be in the file).
        if (limit > 0) {
            if (fetch(*at, orv::kHeaderSize + firstLen, &p) < orv::kHeaderSize + firstLen) return missing();
            b->stored = p + orv::kHeaderSize;
        } else if (!reaches(*at + orv::kHeaderSize + firstLen)) {
            return missing();
        }
        total = firstLen;
        b->segments = 1;
        *at += orv::kHeaderSize + firstLen;
    } else {
        for (;;) {
            const unsigned curLen = orv::curLenOf(hdr);
            if (curLen == 0) return ORVTAPE_ERR_CHAIN;
            if (xform && total + curLen > limit) {
                // More than a block of the record size can take: the prefix says how long.
                const int claim = codec.length(gather.get(), static_cast<unsigned>(total), first2);
                b->length = claim > 0 ? claim : 0;
                return claim > maxRecordSize ? ORVTAPE_ERR_TOO_LONG : ORVTAPE_ERR_DECODE;
            }
            const unsigned n = total >= limit ? 0 : static_cast<unsigned>(limit - total < curLen ? limit - total : curLen);
            if (n > 0) {
                reserveGather(static_cast<std::size_t>(total) + n);
                if (!copyOut(*at + orv::kHeaderSize, n, gather.get() + total)) return missing();
            }
            total += curLen;
            *at += orv::kHeaderSize + curLen;
            ++b->segments;
            // A chain that sums beyond what a result can carry is no block.
            if (total > static_cast<unsigned long long>(INT_MAX)) return ORVTAPE_ERR_CHAIN;
            if (hdr[4] & HF1_EOR) break;
            const std::size_t got = fetch(*at, orv::kHeaderSize, &p, curLen - n);
            if (got < static_cast<std::size_t>(orv::kHeaderSize)) return headerMissing(b);
            std::memcpy(hdr, p, orv::kHeaderSize);
            if (orv::hasReservedBits(hdr)) return ORVTAPE_ERR_FLAGS;
            if (orv::checkContinuation(hdr, first2) != 0) return ORVTAPE_ERR_CHAIN;
        }
        if (limit > 0) b->stored = gather.get();
        // A payload only passed over must still be in the file.
        else if (!reaches(*at)) return missing();
    }
    b->storedLength = static_cast<unsigned int>(total);
    // Less than the payload only for a plain block longer than the limit.
    b->storedValid = b->stored ? static_cast<unsigned int>(total < limit ? total : limit) : 0;
    b->lastSegment = orv::curLenOf(hdr);
    if (!xform) {
        b->length = static_cast<int>(total);
        if (blockLimit > 0 && b->length > maxRecordSize) return ORVTAPE_ERR_TOO_LONG;
        b->data = b->stored;
        b->dataLength = b->storedValid;
        return b->length;
    }
    b->length = codec.length(b->stored, b->storedLength, first2);
    if (b->length < 0) return b->length;
    if (blockLimit > 0 && b->length > maxRecordSize) return ORVTAPE_ERR_TOO_LONG;
    if (mode == ORVTAPE_READ_DECODE) {
        const int rc = codec.decode(b->stored, b->storedLength, first2, &b->data, &b->dataLength);
        if (rc < 0) return rc;
    }
    if (mode == ORVTAPE_READ_PASS) b->stored = nullptr, b->storedValid = 0;
    return b->length;
}

int ORVtapeReader::validate(orvTapeChainReport* report) {
    if (!impl || impl->fd < 0) return ORVTAPE_ERR_NOT_OPEN;
    // The first version's report ends at compressed; later fields go only
    // where the caller's size makes room for them.
    constexpr unsigned firstSize = offsetof(orvTapeChainReport, compressed) + sizeof(bool);
    if (report == nullptr || report->size < firstSize) return ORVTAPE_ERR_ARGUMENT;
    const unsigned size = report->size;
    orvTapeChainReport full = ORVTAPE_CHAIN_REPORT_INIT;
    long long end;
    unsigned last;
    const int rc = impl->walkChain(&full, &end, &last);
    std::memcpy(report, &full, size < sizeof full ? size : sizeof full);
    report->size = size;
    return rc;
}

// ORVtape::validate's walk from the load point to the end of the file;
// *end receives where the last header's payload ends (beyond the file when
// it is cut short) and *lastSegment that header's curLen.
int ORVtapeReader::Impl::walkChain(orvTapeChainReport* r, long long* end, unsigned* lastSegment) {
    const unsigned int size = r->size;
    *r = orvTapeChainReport();
    r->size = size;
    r->lastHeaderOffset = -1;
    *end = 0;
    *lastSegment = 0;
    err = 0;
    forgetFailedRead();
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = errno;
        r->driveCode = -2;
        return ORVTAPE_ERR_IO;
    }
    if (st.st_size > knownSize) knownSize = st.st_size;
    // Kept in locals and reported once at the end: this loop runs once a
    // header, and stores through r would cost a third of it.
    // The walk from the load point never resynchronises, so it keeps the
    // header rule's own state (chainCheck's, less its resync) across the
    // loop: a fifth of a card image's validation.
    orv::WalkState walk;
    long long offset = 0, headers = 0, lastAt = -1;
    bool multiSegment = false, compressed = false, whole = true;
    int rc = ORVTAPE_OK, code = 0;
    unsigned char h[orv::kHeaderSize] = {0, 0, 0, 0, 0, 0};
    while (offset < st.st_size) {
        lastAt = offset;
        const unsigned char* p;
        const std::size_t got = fetch(offset, orv::kHeaderSize, &p, walk.expectedPrev);
        std::memcpy(h, p, got);
        if (got < static_cast<std::size_t>(orv::kHeaderSize)) {
            code = -2;
            whole = false;
            rc = missing();
            break;
        }
        if (orv::hasReservedBits(h)) {
            code = -3;  // as the drive's header read refuses it
            rc = ORVTAPE_ERR_FLAGS;
            break;
        }
        // What the drive notes of a header before judging it, the rule notes too.
        if ((code = orv::walkHeader(h, walk, &multiSegment, &compressed)) != 0) {
            rc = ORVTAPE_ERR_CHAIN;
            break;
        }
        ++headers;
        offset += orv::kHeaderSize + walk.expectedPrev;
    }
    r->lastHeaderOffset = lastAt;
    std::memcpy(r->lastHeader, h, sizeof h);
    r->driveCode = code;
    r->headers = headers;
    r->multiSegment = multiSegment;
    r->compressed = compressed;
    r->lastCurLen = whole ? orv::curLenOf(h) : 0;
    r->lastPrevLen = whole ? orv::prevLenOf(h) : 0;
    r->endsInBlock = !walk.beginsBlock;
    *lastSegment = walk.expectedPrev;
    *end = offset;
    return rc;
}
