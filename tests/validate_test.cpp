// The header-chain walk over whole images and the in-place length prefix read.
#include "orvTapeStream.h"
#include "support.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

struct Walk {
    int rc;
    long long lastHdr;
    Bytes hdr;
    bool multiSeg, compressed;
};

// Outputs start as junk so that a value left unset shows.
Walk walk(ORVtape& t) {
    Walk w{0, -99, Bytes(6, 0xEE), true, true};
    w.rc = t.validate(&w.lastHdr, w.hdr.data(), &w.multiSeg, &w.compressed);
    EXPECT_EQ(t.lastRC, w.rc);
    return w;
}

const Bytes kTM = header(0, 0, 0x40, 0);

}  // namespace

// Each defect is reported at its header with its own code; images that bend
// the rules only where the walk does not look pass.
TEST(Validate, HandBuiltImages) {
    const struct { const char* what; Bytes image; int rc; long long at; bool multi, comp; } cases[] = {
        {"header cut short", kTM + Bytes{5, 0, 0}, -2, 6, false, false},
        {"reserved flags1 bit", kTM + header(0, 0, 0x48, 0), -3, 6, false, false},
        {"reserved flags2 bit", segment(4, 0, 0xA0) + header(2, 4, 0xA0, 0x04), -3, 10, false, false},
        {"tapemark with BOR", header(0, 0, 0xC0, 0), -10, 0, false, false},
        {"tapemark with EOR", kTM + header(0, 0, 0x60, 0), -10, 6, false, false},
        {"tapemark with XFORM", header(0, 0, 0x40, 0x80), -11, 0, false, false},
        {"tapemark with bare BZ2", kTM + header(0, 0, 0x40, 0x01), -11, 6, false, true},
        {"tapemark with bare SCRAMBLE", header(0, 0, 0x40, 0x02), -11, 0, false, false},
        {"tapemark with payload", segment(1, 0, 0x40), -12, 0, false, false},
        {"empty first segment", kTM + header(0, 0, 0xA0, 0), -14, 6, false, false},
        {"tapemark inside block", segment(4, 0, 0x80) + header(0, 4, 0x40, 0), -15, 10, true, false},
        {"second BOR inside block", segment(4, 0, 0x80) + segment(4, 4, 0xA0), -16, 10, true, false},
        {"empty continuation", segment(4, 0, 0x80) + header(0, 4, 0x20, 0), -17, 10, true, false},
        {"broken prevLen", kTM + header(0, 5, 0x40, 0), -18, 6, false, false},
        {"first prevLen not 0", header(0, 1, 0x40, 0), -18, 0, false, false},
        {"flag rule wins over prevLen", segment(4, 0, 0x80) + segment(4, 9, 0xA0), -16, 10, true, false},
        {"BZ2 without XFORM", segment(4, 0, 0x80, 0x01) + segment(4, 4, 0x20, 0x01), -20, 10, true, true},
        {"SCRAMBLE without XFORM", segment(4, 0, 0x80, 0x02) + segment(4, 4, 0x20, 0x02), -20, 10, true, false},
        {"continuation lost BZ2", segment(4, 0, 0x80, 0x81) + segment(4, 4, 0x20, 0x80), -21, 10, true, true},
        {"continuation lost SCRAMBLE", segment(4, 0, 0x80, 0x83) + segment(4, 4, 0x20, 0x81), -22, 10, true, true},
        {"empty image", {}, 0, -1, false, false},
        {"payload runs past the end", kTM + header(100, 0, 0xA0, 0) + Bytes(10, 1), 2, 6, false, false},
        {"first segment without BOR", segment(4, 0, 0x20) + header(0, 4, 0x40, 0), 2, 10, false, false},
        {"single segment with bare BZ2", segment(4, 0, 0xA0, 0x01) + header(0, 4, 0x40, 0), 2, 10, false, true},
        {"continuation XFORM not examined", segment(4, 0, 0x80, 0x83) + segment(3, 4, 0x20, 0x03), 2, 10, true, true},
        {"three segments", segment(4, 0, 0x80) + segment(4, 4, 0) + segment(4, 4, 0x20), 3, 20, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Mounted m(c.image, true);
        m.t.blockID = 7, m.t.fileNumber = 3;
        const Walk w = walk(m.t);
        EXPECT_TRUE(w.rc == c.rc && w.lastHdr == c.at && w.multiSeg == c.multi && w.compressed == c.comp);
        Bytes hdr(6, 0);
        if (c.at >= 0) std::copy(c.image.begin() + c.at, c.image.begin() + std::min<long long>(c.at + 6, c.image.size()), hdr.begin());
        if (c.rc == -2) hdr[4] = 0x40;  // a cut header overwrites only the bytes it has
        EXPECT_EQ(w.hdr, hdr);
        // Success restores the position; a cut or undecodable header keeps
        // the tape in front of it; other defects leave it past its 6 bytes.
        EXPECT_EQ(where(m.t), (Where{c.rc >= 0 ? 0 : c.rc >= -3 ? c.at : c.at + 6, 0, 0, false}));
        ORVtapeReader r;  // the streaming walk: the same verdict, with the drive's own code
        orvTapeChainReport rep = ORVTAPE_CHAIN_REPORT_INIT;
        const int rc = r.open(m.path.c_str()) == 0 ? r.validate(&rep) : 1;
        EXPECT_TRUE(c.rc >= 0 ? rc == ORVTAPE_OK && rep.headers == c.rc && !rep.driveCode : rc < 0 && rep.driveCode == c.rc) << rc;
        EXPECT_TRUE(rep.lastHeaderOffset == c.at && Bytes(rep.lastHeader, rep.lastHeader + 6) == hdr && rep.multiSegment == c.multi && rep.compressed == c.comp);
    }
    // One header at a time: a refused one leaves the state as it was.
    orvTapeChainState st = {0, 0, false, false};
    int code;
    EXPECT_TRUE(orvTapeChainCheck(&st, header(4, 0, 0x80, 0x81).data(), &code) == ORVTAPE_OK && st.inBlock && st.prevLen == 4 && st.blockFlags2 == 0x81 && !code);
    EXPECT_TRUE(orvTapeChainCheck(&st, header(4, 4, 0x20, 0x80).data(), &code) == ORVTAPE_ERR_CHAIN && code == -21 && st.prevLen == 4 && st.inBlock);
    EXPECT_TRUE(orvTapeChainCheck(&st, header(4, 4, 0x28, 0x81).data(), &code) == ORVTAPE_ERR_FLAGS && code == -3 && orvTapeChainCheck(&st, header(4, 4, 0x20, 0x81).data(), nullptr) == ORVTAPE_OK && !st.inBlock);
    // Met in mid-image: any prevLen, but only a block's first header or a tapemark.
    for (const auto& [h, ok] : {std::pair{header(9, 77, 0xA0, 0), true}, {header(0, 5, 0x40, 0), true}, {header(9, 77, 0x20, 0), false},
                                {header(9, 77, 0x80, 0x81), true}, {header(9, 77, 0x00, 0x81), false}, {header(9, 77, 0xA0, 0x01), false}}) {
        orvTapeChainState mid = {0, 0, false, true};
        EXPECT_EQ(orvTapeChainCheck(&mid, h.data(), nullptr), ok ? ORVTAPE_OK : ORVTAPE_ERR_CHAIN);
        EXPECT_EQ(mid.resync, !ok);
    }
    ORVtape closed;  // no image: -1, outputs untouched
    long long last = 42;
    closed.lastErrno = 5;
    EXPECT_EQ(closed.validate(&last, nullptr, nullptr, nullptr), -1);
    EXPECT_TRUE(closed.lastRC == -1 && closed.lastErrno == 0 && last == 42);
}

// On images the library wrote the walk passes every header and leaves the
// tape usable where it was: the header fields again describe the segment
// that ends there, so the next write chains to it.
TEST(Validate, ImagesWrittenByTheLibrary) {
    Mounted m;
    Walk w = walk(m.t);
    EXPECT_TRUE(w.rc == 5 && w.lastHdr == 24 && w.hdr == kTM && !w.multiSeg && !w.compressed);
    m.t.maxSegLen = 16;
    for (unsigned len : {17u, 40u, 20u}) ASSERT_EQ(m.t.write(pattern(len).data(), len), static_cast<int>(len));
    ASSERT_TRUE(m.t.wtm(2) == 0 && m.t.rew() == 0 && m.t.fsr(3) == 0);
    const long long third = where(m.t).pos;
    w = walk(m.t);  // 2 + 3 + 2 segments and two tapemarks
    EXPECT_TRUE(w.rc == 9 && w.multiSeg && !w.compressed && m.t.validate(nullptr, nullptr, nullptr, nullptr) == 9);
    EXPECT_EQ(where(m.t), (Where{third, 0, 0, false}));
    ASSERT_EQ(m.t.write("abcde", 5), 5);
    const Bytes image = readFile(m.path);
    EXPECT_EQ(Bytes(image.begin() + third, image.begin() + third + 6), header(5, 4, 0xA0, 0));
}

TEST(Validate, SerialLengthIsReadInPlace) {
    const struct { Bytes bytes; int value; } cases[] = {
        {{0x80}, 0}, {{0xFF}, 127}, {{0x00, 0x81}, 128}, {{0x2C, 0x82}, 300}, {{0x7F, 0x7F, 0x83}, 65535},
        {{0x00, 0x00, 0x00, 0x82}, 4194304}, {{1, 1, 1, 1, 1, 0x81}, -1}, {{0x7F, 0x7F}, -1}};
    Bytes file;
    for (const auto& c : cases) file = file + c.bytes;  // the last prefix runs into the end of the file
    Mounted m(file, true);
    long long at = 0;
    for (const auto& c : cases) {
        ASSERT_TRUE(m.t.setPosition(at));
        m.t.lastRC = 3;
        EXPECT_EQ(m.t.getSerialLength(), c.value);
        EXPECT_TRUE(where(m.t).pos == at && m.t.curPos == at && m.t.lastRC == 0);
        at += static_cast<long long>(c.bytes.size());
    }
    m.t.close();
    EXPECT_EQ(m.t.getSerialLength(), -1);
}
