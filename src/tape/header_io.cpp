// Reading and writing single 6-byte block headers, and the backward step
// from one header to the one before it along the prevLen chain.
#include "internal.h"

#include <cstring>
#include <unistd.h>

namespace orv {

int readHdrAt(ORVtape& t, unsigned char* hdr, long long pos) {
    if (t.fd < 0) return -1;
    notePosition(t, pos);
    if (::read(t.fd, hdr, kHeaderSize) != kHeaderSize) {
        t.setPosition(pos);
        return -2;
    }
    t.curBlkLen = static_cast<int>(curLenOf(hdr));
    t.prevBlkLen = static_cast<int>(prevLenOf(hdr));
    t.hdrFlags1 = hdr[4];
    t.hdrFlags2 = hdr[5];
    if (hasReservedBits(hdr)) {
        t.setPosition(pos);
        return -3;
    }
    t.hdrPos = pos;
    return 0;
}

int writeHdrAt(ORVtape& t, const unsigned char* hdr, long long pos) {
    if (t.fd < 0) return -1;
    unsigned char out[kHeaderSize];
    std::memcpy(out, hdr, kHeaderSize);
    out[5] = diskFlags2(out[5]);
    notePosition(t, pos);
    t.hdrPos = pos;
    if (::write(t.fd, out, kHeaderSize) != kHeaderSize) {
        t.setPosition(pos);
        return -3;
    }
    // The fields keep the caller's flags2, without the added XFORM bit.
    t.curBlkLen = static_cast<int>(curLenOf(hdr));
    t.prevBlkLen = static_cast<int>(prevLenOf(hdr));
    t.hdrFlags1 = hdr[4];
    t.hdrFlags2 = hdr[5];
    return 0;
}

int readPrevHdrAt(ORVtape& t, unsigned char* hdr, long long p) {
    if (t.fd < 0) return -1;
    notePosition(t, p);
    if (p == 0) return -4;
    const HeaderFields before = HeaderFields::of(t);
    auto fail = [&]() {
        t.setPosition(p);
        before.restore(t);
        return -2;
    };
    const long long q = p - kHeaderSize - t.curBlkLen;
    if (!t.setPosition(q)) return -2;
    if (readHdrAt(t, hdr, q) != 0) return fail();
    if (q == 0) {
        t.curBlkLen = 0;
        t.prevBlkLen = 0;
    } else {
        // Read one header further back so that the fields describe the
        // segment that ends at q; its outcome is deliberately not examined.
        const long long r = q - kHeaderSize - t.prevBlkLen;
        if (!t.setPosition(r)) return fail();
        unsigned char older[kHeaderSize];
        (void)readHdrAt(t, older, r);
    }
    if (!t.setPosition(q)) return fail();
    t.hdrPos = q;
    return 0;
}

}  // namespace orv

int ORVtape::readHdr(void* hdr) {
    if (fd < 0) return -1;
    getPosition();
    if (hdr == nullptr) return -2;
    return orv::readHdrAt(*this, static_cast<unsigned char*>(hdr), curPos);
}

int ORVtape::writeHdr(void* hdr) {
    if (fd < 0) return -1;
    getPosition();
    if (hdr == nullptr) return -3;
    return orv::writeHdrAt(*this, static_cast<const unsigned char*>(hdr), curPos);
}

int ORVtape::readPrevHdr(void* hdr) {
    if (fd < 0) return -1;
    getPosition();
    if (hdr == nullptr) return -2;
    return orv::readPrevHdrAt(*this, static_cast<unsigned char*>(hdr), curPos);
}
