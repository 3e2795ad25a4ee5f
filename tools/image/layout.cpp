// layout.cpp - finding where a damaged header chain resumes, where an
// append goes, and how a volume is closed again.
#include "image/layout.h"

#include "image/sink.h"

#include <orvTapeStream.h>

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace orvtool {

namespace {

constexpr int kHeader = 6;
constexpr int kChainNeeded = 4;  // headers that must chain before an offset is trusted

// The offset after the header h at p and its payload; its curLen is the
// prevLen the chain state keeps once h is accepted.
long long after(long long p, const orvTapeChainState& s) { return p + kHeader + s.prevLen; }

// Whether kChainNeeded headers chain from q (the first already accepted
// into s), or fewer that end exactly at the end of the file between blocks.
bool chainHolds(int fd, long long q, long long size, orvTapeChainState s) {
    unsigned char h[kHeader];
    long long p = after(q, s);
    if (p > size) return false;
    for (int n = 1; n < kChainNeeded; ++n) {
        if (p == size) return !s.inBlock;
        if (p + kHeader > size || pread(fd, h, kHeader, p) != kHeader) return false;
        if (orvTapeChainCheck(&s, h, nullptr) != ORVTAPE_OK) return false;
        p = after(p, s);
        if (p > size) return false;
    }
    return true;
}

}  // namespace

long long resync(const Volume& volume, long long from) {
    const long long size = volume.size();
    std::vector<unsigned char> chunk(1 << 16);
    for (long long base = from; base + kHeader <= size;) {
        const ssize_t got = pread(volume.fd(), chunk.data(), chunk.size(), base);
        if (got < kHeader) break;
        for (ssize_t i = 0; i + kHeader <= got; ++i) {
            orvTapeChainState s{0, 0, false, true};
            if (orvTapeChainCheck(&s, &chunk[static_cast<size_t>(i)], nullptr) == ORVTAPE_OK &&
                chainHolds(volume.fd(), base + i, size, s))
                return base + i;
        }
        base += got - (kHeader - 1);  // the last five bytes start the next chunk
    }
    return size;
}

AppendPoint findAppendPoint(BlockWalk& walk) {
    AppendPoint a;
    Block b;
    for (Step s; (s = walk.step(b)) != Step::EndOfData;) {
        ++a.end.blocks;
        a.end.endsInTapemark = b.kind == Kind::Mark;
        a.end.hasEndMark = s == Step::EndMark;
        if (a.end.hasEndMark) {
            a.offset = b.offset;  // the mark is written anew after the new files
        } else {
            a.offset = walk.info().end;
            a.prevLen = walk.info().lastSegment;
        }
    }
    return a;
}

int endVolumeAt(int fd, const VolumeCut& cut) {
    ORVtapeWriter w;
    int rc = w.openFd(fd, cut.offset, cut.prevLen);
    if (rc == ORVTAPE_OK) rc = w.wtm(cut.marks);
    const int closed = w.close();
    if (rc == ORVTAPE_OK) rc = closed;
    errno = rc ? w.lastErrno() : 0;
    return driveWriteCode(rc);
}

std::string volumeEnd(unsigned prevLen, unsigned marks) {
    const int fd = memfd_create("orvtape-end", MFD_CLOEXEC);
    if (fd < 0) return "";
    // The writer appends only after a segment that is there, so the marks
    // follow one of prevLen bytes, written for the purpose and left out.
    ORVtapeWriter w;
    const std::vector<unsigned char> segment(prevLen);
    w.setMaxSegLen(0);
    bool made = w.openFd(fd, 0, 0) == ORVTAPE_OK &&
                (prevLen == 0 || w.write(segment.data(), prevLen) == static_cast<int>(prevLen));
    const long long at = w.position();
    made = made && w.wtm(marks) == ORVTAPE_OK && w.close() == ORVTAPE_OK;
    std::string end(64, '\0');
    const ssize_t n = made ? pread(fd, &end[0], end.size(), at) : -1;
    ::close(fd);
    end.resize(n > 0 && n < 64 ? static_cast<size_t>(n) : 0);
    return end;
}

}  // namespace orvtool
