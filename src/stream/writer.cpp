// The sequential writer: blocks are encoded and cut into segments exactly as
// the drive's write path does (format.h), gathered in a buffer and written
// with a few large calls; the image is truncated once, at close.
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
    int failed = 0;  // once the image refused bytes, every later call reports it
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
        failed = -11;
        return failed;
    }

    int flush() {
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
    int writeDirect(const unsigned char* payload, unsigned len, unsigned char xform, unsigned seg) {
        orv::SegmentCutter cut(len, seg, xform);
        unsigned char hdrs[kBatch][orv::kHeaderSize];
        iovec iov[2 * kBatch];
        long long at = bufStart;
        for (bool more = true; more;) {
            int cnt = 0;
            unsigned k = 0, n = 0;
            while (k < kBatch && (more = cut.next(prevLen, hdrs[k], &n))) {
                hdrs[k][5] = orv::diskFlags2(hdrs[k][5]);
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

    int append(const unsigned char* payload, unsigned len, unsigned char xform) {
        maxSegLen = orv::clampSegLen(maxSegLen);
        const unsigned seg = static_cast<unsigned>(maxSegLen);
        const std::size_t bytes = len + std::size_t{orv::kHeaderSize} * orv::SegmentCutter::count(len, seg);
        if (used + bytes > kBuffer && used > 0 && flush() != 0) return failed;
        if (bytes > kBuffer) {
            if (writeDirect(payload, len, xform, seg) != 0) return failed;
        } else {
            orv::SegmentCutter cut(len, seg, xform);
            unsigned char* out = buf.get() + used;
            unsigned n = 0;
            while (cut.next(prevLen, out, &n)) {
                out[5] = orv::diskFlags2(out[5]);
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
        if (length > static_cast<unsigned>(maxRecordSize)) return -13;
        if (fd < 0) return -11;
        return failed;
    }
};

ORVtapeWriter::ORVtapeWriter() : impl(new Impl) {}
ORVtapeWriter::~ORVtapeWriter() {
    close();
    delete impl;
}

int ORVtapeWriter::open(const char* path, long long offset, unsigned int prevLen) {
    Impl& m = *impl;
    if (m.fd >= 0 || path == nullptr || offset < 0 || prevLen > static_cast<unsigned>(orv::kMaxSegment)) {
        m.err = m.fd >= 0 ? EBUSY : path == nullptr ? EFAULT : EINVAL;
        return -1;
    }
    const int f = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct stat st;
    if (f < 0 || fstat(f, &st) != 0 || S_ISDIR(st.st_mode)) {
        m.err = f < 0 ? errno : EISDIR;
        if (f >= 0) ::close(f);
        return -1;
    }
    if (!m.buf) m.buf.reset(new unsigned char[kBuffer]);
    m.fd = f;
    m.err = m.failed = 0;
    m.used = 0;
    m.ends.clear();
    m.bufStart = m.pos = offset;
    m.prevLen = prevLen;
    m.wrote = false;
    return 0;
}

void ORVtapeWriter::setMaxSegLen(int length) { impl->maxSegLen = length; }
void ORVtapeWriter::setCompress(bool on) { impl->compress = on; }
void ORVtapeWriter::setEncrypt(bool on) { impl->scramble = on; }
void ORVtapeWriter::setSync(bool on) { impl->sync = on; }
void ORVtapeWriter::setMaxRecordSize(int size) {
    if (size > impl->maxRecordSize) impl->maxRecordSize = size;
    impl->codec.setMaxRecordSize(size);
}

int ORVtapeWriter::write(const void* data, unsigned int length) {
    Impl& m = *impl;
    if (const int r = m.refusal(length)) return r;
    if (data == nullptr && length > 0) {
        m.err = EFAULT;
        return -12;
    }
    const unsigned char* stored = nullptr;
    unsigned char flags2 = 0;
    const int n = m.codec.encode(data, length, m.compress, m.scramble, &stored, &flags2);
    if (m.append(stored, static_cast<unsigned>(n), orv::blockTransform(flags2)) != 0) return m.failed;
    return static_cast<int>(length);
}

int ORVtapeWriter::wtm(unsigned int count) {
    for (unsigned int i = 0; i < count; ++i)
        if (const int r = write(nullptr, 0); r < 0) return r;
    return 0;
}

int ORVtapeWriter::writeStored(const void* stored, unsigned int storedLength, unsigned char flags2) {
    Impl& m = *impl;
    if (const int r = m.refusal(storedLength)) return r;
    const unsigned char first[orv::kHeaderSize] = {0, 0, 0, 0, HF1_BOR, flags2};
    if (orv::hasReservedBits(first) || orv::checkFirstHeader(first) != 0) {
        m.err = EINVAL;
        return -10;
    }
    if (stored == nullptr && storedLength > 0) {
        m.err = EFAULT;
        return -12;
    }
    // Like the drive, an empty payload is a tapemark and carries no transform.
    const unsigned char xform = storedLength ? orv::blockTransform(flags2) : 0;
    if (m.append(static_cast<const unsigned char*>(stored), storedLength, xform) != 0) return m.failed;
    return static_cast<int>(storedLength);
}

int ORVtapeWriter::writeBlock(const orvTapeBlockInfo* block) {
    Impl& m = *impl;
    if (block == nullptr) {
        m.err = EFAULT;
        return -12;
    }
    if (block->tapemark) return write(nullptr, 0);
    if (const int r = m.refusal(block->storedLength)) return r;
    // The reader hands out a long plain block's beginning only; the rest of
    // storedLength is not behind stored, and a block cut short is no copy.
    if (block->stored == nullptr || block->storedValid < block->storedLength) {
        m.err = EINVAL;
        return -12;
    }
    return writeStored(block->stored, block->storedLength, block->flags2);
}

int ORVtapeWriter::close() {
    Impl& m = *impl;
    if (m.fd < 0) return 0;
    int rc = m.failed;
    if (rc == 0) rc = m.flush();
    if (rc == 0 && m.wrote && ftruncate(m.fd, m.pos) != 0) {
        m.err = errno;
        rc = -11;
    }
    if (rc == 0 && m.sync && fdatasync(m.fd) != 0) {
        m.err = errno;
        rc = -1;
    }
    if (::close(m.fd) != 0 && rc == 0) {
        m.err = errno;
        rc = -1;
    }
    m.fd = -1;
    return rc;
}

long long ORVtapeWriter::position() const { return impl->pos; }
int ORVtapeWriter::lastErrno() const { return impl->err; }
