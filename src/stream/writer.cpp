// The sequential writer: blocks are encoded and cut into segments exactly as
// the drive's write path does (format.h), gathered in a buffer and written
// with a few large calls.  The image is cut at the open offset before the
// first bytes go out, so new blocks are never followed by the old tail.
#include "orvTapeStream.h"

#include "ORVtape.h"
#include "../tape/format.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr std::size_t kBuffer = 1u << 20;
constexpr unsigned kBatch = 64;  // segments per vectored write of a block larger than the buffer
}  // namespace

struct ORVTAPE_LOCAL ORVtapeWriter::Impl {
    int fd = -1;
    int err = 0;
    bool failed = false;  // once the image refused bytes, the writer takes no more
    bool cut = false;     // the old tail behind the open offset is gone
    long long openedAt = 0;
    int maxSegLen = orv::kMaxSegment;
    int maxRecordSize = orv::kMinRecordSize;
    bool compress = false, scramble = false, sync = false;
    std::unique_ptr<unsigned char[]> buf;
    std::size_t used = 0;
    long long bufStart = 0;        // file offset of buf[0]
    std::vector<long long> ends;   // where the whole blocks in the buffer end
    long long pos = 0;             // after the last block accepted
    unsigned prevLen = 0;
    bool wrote = false;
    ORVtapeCodec codec;

    // The image refused bytes: it keeps the whole blocks before keep, and
    // the writer takes nothing more.
    int refuse(long long keep) {
        (void)ftruncate(fd, keep);
        pos = bufStart = keep;
        used = 0;
        ends.clear();
        failed = true;
        return ORVTAPE_ERR_IO;
    }

    // Before the first bytes go out: a crash then leaves the old prefix and
    // whole new blocks, the last perhaps cut short, never stale blocks after them.
    int cutOldTail() {
        if (cut) return ORVTAPE_OK;
        if (ftruncate(fd, openedAt) != 0) {
            err = errno;
            return refuse(openedAt);
        }
        cut = true;
        return ORVTAPE_OK;
    }

    int writeOut() {
        if (used > 0 && cutOldTail() != 0) return ORVTAPE_ERR_IO;
        std::size_t done = 0;
        while (done < used) {
            const ssize_t r = ::pwrite(fd, buf.get() + done, used - done, bufStart + static_cast<long long>(done));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                err = r < 0 ? errno : ENOSPC;
                long long keep = bufStart;
                for (long long e : ends)
                    if (e <= bufStart + static_cast<long long>(done)) keep = e;
                return refuse(keep);
            }
            done += static_cast<std::size_t>(r);
        }
        bufStart += static_cast<long long>(used);
        used = 0;
        ends.clear();
        return 0;
    }

    // A block too large for the buffer goes straight from its payload, its
    // headers and payload pieces in vectored writes.
    int writeDirect(const unsigned char* payload, unsigned len, unsigned char flags2, unsigned seg) {
        if (cutOldTail() != 0) return ORVTAPE_ERR_IO;
        orv::SegmentCutter cutter(len, seg, flags2);
        unsigned char hdrs[kBatch][orv::kHeaderSize];
        iovec iov[2 * kBatch];
        long long at = bufStart;
        for (bool more = true; more;) {
            int cnt = 0;
            unsigned k = 0, n = 0;
            while (k < kBatch && (more = cutter.next(prevLen, hdrs[k], &n))) {
                iov[cnt++] = {hdrs[k], orv::kHeaderSize};
                iov[cnt++] = {const_cast<unsigned char*>(payload), n};
                payload += n;
                prevLen = n;
                ++k;
            }
            int first = 0;
            while (first < cnt) {
                const ssize_t r = ::pwritev(fd, iov + first, cnt - first, at);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) {
                    err = r < 0 ? errno : ENOSPC;
                    return refuse(bufStart);
                }
                at += r;
                for (std::size_t left = static_cast<std::size_t>(r); left > 0;) {
                    const std::size_t step = left < iov[first].iov_len ? left : iov[first].iov_len;
                    iov[first].iov_base = static_cast<unsigned char*>(iov[first].iov_base) + step;
                    iov[first].iov_len -= step;
                    left -= step;
                    if (iov[first].iov_len == 0) ++first;
                }
                while (first < cnt && iov[first].iov_len == 0) ++first;
            }
        }
        bufStart = at;
        return 0;
    }

    // flags2 goes into every segment header as given (a tapemark carries none).
    int append(const unsigned char* payload, unsigned len, unsigned char flags2) {
        const unsigned seg = static_cast<unsigned>(maxSegLen);
        const std::size_t bytes = len + std::size_t{orv::kHeaderSize} * orv::SegmentCutter::count(len, seg);
        if (used + bytes > kBuffer && used > 0 && writeOut() != 0) return ORVTAPE_ERR_IO;
        if (bytes > kBuffer) {
            if (writeDirect(payload, len, flags2, seg) != 0) return ORVTAPE_ERR_IO;
        } else {
            orv::SegmentCutter cutter(len, seg, flags2);
            unsigned char* out = buf.get() + used;
            unsigned n = 0;
            while (cutter.next(prevLen, out, &n)) {
                if (n > 0) std::memcpy(out + orv::kHeaderSize, payload, n);
                payload += n;
                out += orv::kHeaderSize + n;
                prevLen = n;
            }
            used += bytes;
            ends.push_back(bufStart + static_cast<long long>(used));
        }
        pos += static_cast<long long>(bytes);
        wrote = true;
        return 0;
    }

    // What every data call checks first, in the drive's order.
    int refusal(unsigned length) const {
        if (length > static_cast<unsigned>(maxRecordSize)) return ORVTAPE_ERR_TOO_LONG;
        if (fd < 0) return ORVTAPE_ERR_NOT_OPEN;
        return failed ? ORVTAPE_ERR_STOPPED : ORVTAPE_OK;
    }

    int attach(int f, long long offset, unsigned prev);
    int findEnd(long long* offset, unsigned* prev);
    bool chainsAt(long long offset, unsigned prev, long long fileSize);
    int flush();
};

ORVtapeWriter::ORVtapeWriter() : impl(new Impl) {}
ORVtapeWriter::~ORVtapeWriter() {
    close();
    delete impl;
}
ORVtapeWriter::ORVtapeWriter(ORVtapeWriter&& other) noexcept : impl(other.impl) { other.impl = nullptr; }
ORVtapeWriter& ORVtapeWriter::operator=(ORVtapeWriter&& other) noexcept {
    if (this != &other) {
        close();
        delete impl;
        impl = other.impl;
        other.impl = nullptr;
    }
    return *this;
}

// Whether the header before offset ends there with curLen prev: one pread.
bool ORVtapeWriter::Impl::chainsAt(long long offset, unsigned prev, long long fileSize) {
    if (offset > fileSize) return false;
    if (offset == 0) return prev == 0;
    const long long at = offset - orv::kHeaderSize - static_cast<long long>(prev);
    unsigned char h[orv::kHeaderSize];
    return at >= 0 && ::pread(fd, h, sizeof h, at) == static_cast<ssize_t>(sizeof h) && orv::curLenOf(h) == prev;
}

// The end of the volume by its header chain, which must hold up to the end of the file.
int ORVtapeWriter::Impl::findEnd(long long* offset, unsigned* prev) {
    ORVtapeReader walker;
    orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
    int rc = walker.openFd(fd);
    if (rc == ORVTAPE_OK) rc = walker.validate(&report);
    if (rc != ORVTAPE_OK) {
        err = walker.lastErrno();
        return rc;
    }
    *offset = 0;
    *prev = 0;
    if (report.lastHeaderOffset < 0) return ORVTAPE_OK;
    const unsigned char* h = report.lastHeader;
    *prev = orv::curLenOf(h);
    *offset = report.lastHeaderOffset + orv::kHeaderSize + *prev;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = errno;
        return ORVTAPE_ERR_IO;
    }
    // A last payload cut short, or a block without its last segment, is no end to append at.
    if (*offset != st.st_size || !(h[4] & (HF1_EOR | HF1_TM))) return ORVTAPE_ERR_TRUNCATED;
    return ORVTAPE_OK;
}

int ORVtapeWriter::Impl::attach(int f, long long offset, unsigned prev) {
    struct stat st;
    if (f < 0 || fstat(f, &st) != 0 || S_ISDIR(st.st_mode)) {
        err = f < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : errno;
        if (f >= 0) ::close(f);
        return ORVTAPE_ERR_IO;
    }
    fd = f;
    int rc = ORVTAPE_OK;
    if (offset == ORVTAPE_AT_END)
        rc = findEnd(&offset, &prev);
    else if (!chainsAt(offset, prev, st.st_size))
        rc = ORVTAPE_ERR_ARGUMENT;
    if (rc != ORVTAPE_OK) {
        ::close(fd);
        fd = -1;
        return rc;
    }
    if (!buf) buf.reset(new unsigned char[kBuffer]);
    err = 0;
    failed = cut = wrote = false;
    used = 0;
    ends.clear();
    openedAt = bufStart = pos = offset;
    prevLen = prev;
    return ORVTAPE_OK;
}

namespace {
bool openable(long long offset, unsigned prevLen) {
    return (offset >= 0 || offset == ORVTAPE_AT_END) && prevLen <= static_cast<unsigned>(orv::kMaxSegment);
}
}  // namespace

int ORVtapeWriter::open(const char* path, long long offset, unsigned int prevLen) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    if (path == nullptr || !openable(offset, prevLen)) return ORVTAPE_ERR_ARGUMENT;
    if (impl->fd >= 0 && close() != ORVTAPE_OK) return ORVTAPE_ERR_IO;
    // Only a write from the load point may make the file: an offset into a
    // missing file is refused without leaving an empty one behind.
    const int create = offset == 0 || offset == ORVTAPE_AT_END ? O_CREAT : 0;
    return impl->attach(::open(path, O_RDWR | create | O_CLOEXEC, 0666), offset, prevLen);
}

int ORVtapeWriter::openFd(int fd, long long offset, unsigned int prevLen) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    if (!openable(offset, prevLen)) return ORVTAPE_ERR_ARGUMENT;
    if (impl->fd >= 0 && close() != ORVTAPE_OK) return ORVTAPE_ERR_IO;
    return impl->attach(fcntl(fd, F_DUPFD_CLOEXEC, 0), offset, prevLen);
}

void ORVtapeWriter::setMaxSegLen(unsigned int length) {
    if (impl) impl->maxSegLen = length == 0 ? orv::kMaxSegment : orv::clampSegLen(length > 65535u ? 65535 : static_cast<int>(length));
}
void ORVtapeWriter::setCompress(bool on) {
    if (impl) impl->compress = on;
}
void ORVtapeWriter::setEncrypt(bool on) {
    if (impl) impl->scramble = on;
}
void ORVtapeWriter::setSync(bool on) {
    if (impl) impl->sync = on;
}
void ORVtapeWriter::setMaxRecordSize(int size) {
    if (!impl) return;
    if (size > impl->maxRecordSize) impl->maxRecordSize = size;
    impl->codec.setMaxRecordSize(size);
}

int ORVtapeWriter::write(const void* data, unsigned int length) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    Impl& m = *impl;
    if (const int r = m.refusal(length)) return r;
    if (data == nullptr && length > 0) return ORVTAPE_ERR_ARGUMENT;
    const unsigned char* stored = nullptr;
    unsigned char flags2 = 0;
    const int n = length ? m.codec.encode(data, length, m.compress, m.scramble, &stored, &flags2) : 0;
    if (m.append(stored, static_cast<unsigned>(n), flags2) != 0) return ORVTAPE_ERR_IO;
    return static_cast<int>(length);
}

int ORVtapeWriter::wtm(unsigned int count) {
    for (unsigned int i = 0; i < count; ++i)
        if (const int r = write(nullptr, 0); r < 0) return r;
    return impl ? ORVTAPE_OK : ORVTAPE_ERR_NOT_OPEN;
}

int ORVtapeWriter::writeStored(const void* stored, unsigned int storedLength, unsigned char flags2) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    Impl& m = *impl;
    if (const int r = m.refusal(storedLength)) return r;
    // Only what a block's first header may carry: XFORM, alone or with its transforms.
    const bool defined = (flags2 & ~(HF2_XFORM | orv::kTransformBits)) == 0 &&
                         ((flags2 & HF2_XFORM) || !(flags2 & orv::kTransformBits));
    if (!defined || (stored == nullptr && storedLength > 0)) return ORVTAPE_ERR_ARGUMENT;
    if (m.append(static_cast<const unsigned char*>(stored), storedLength, flags2) != 0) return ORVTAPE_ERR_IO;
    return static_cast<int>(storedLength);
}

int ORVtapeWriter::writeBlock(const orvTapeBlockInfo* block) {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    if (block == nullptr || block->size < sizeof(orvTapeBlockInfo)) return ORVTAPE_ERR_ARGUMENT;
    if (block->tapemark) return write(nullptr, 0);
    // The reader hands out a long plain block's beginning only; the rest of
    // storedLength is not behind stored, and a block cut short is no copy.
    if (block->stored == nullptr || block->storedValid < block->storedLength) return ORVTAPE_ERR_INCOMPLETE;
    return writeStored(block->stored, block->storedLength, block->flags2);
}

int ORVtapeWriter::Impl::flush() {
    if (failed) return ORVTAPE_ERR_IO;
    if (!wrote) return ORVTAPE_OK;  // the image changes only when blocks go out
    if (writeOut() != 0) return ORVTAPE_ERR_IO;
    if (ftruncate(fd, pos) != 0 || (sync && fdatasync(fd) != 0)) {
        err = errno;
        return ORVTAPE_ERR_IO;
    }
    return ORVTAPE_OK;
}

int ORVtapeWriter::flush() {
    if (!impl) return ORVTAPE_ERR_NOT_OPEN;
    return impl->fd < 0 ? ORVTAPE_ERR_NOT_OPEN : impl->flush();
}

int ORVtapeWriter::close() {
    if (!impl || impl->fd < 0) return ORVTAPE_OK;
    Impl& m = *impl;
    int rc = m.flush();
    if (::close(m.fd) != 0 && rc == ORVTAPE_OK) {
        m.err = errno;
        rc = ORVTAPE_ERR_IO;
    }
    m.fd = -1;
    return rc;
}

long long ORVtapeWriter::position() const { return impl && impl->fd >= 0 ? impl->pos : -1; }
int ORVtapeWriter::lastErrno() const { return impl ? impl->err : 0; }
