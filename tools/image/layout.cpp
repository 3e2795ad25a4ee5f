// layout.cpp - finding where a damaged header chain resumes.
#include "image/layout.h"

#include <orvTapeStream.h>

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

}  // namespace orvtool
