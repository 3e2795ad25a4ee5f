// The header-chain walk over whole images and the in-place length prefix read.
#include "ORVtape.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

using namespace testsupport;

namespace {

struct Walk {
    int rc, lastRC;
    long long lastHdr, offset;  // offset: where the descriptor stands afterwards
    Bytes hdr;
    bool multiSeg, compressed;
};

// Outputs start as junk so that a value left unset shows.
Walk walk(ORVtape& t) {
    Walk w{0, 0, -99, 0, Bytes(6, 0xEE), true, true};
    w.rc = t.validate(&w.lastHdr, w.hdr.data(), &w.multiSeg, &w.compressed);
    w.lastRC = t.lastRC;
    w.offset = lseek64(t.fd, 0, SEEK_CUR);
    return w;
}

// A segment: its header and len payload bytes.
Bytes block(unsigned len, unsigned prev, unsigned char f1, unsigned char f2 = 0) {
    Bytes b = header(len, prev, f1, f2);
    append(b, pattern(len, len));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) append(out, p);
    return out;
}

const Bytes kTM = header(0, 0, 0x40, 0);

}  // namespace

// Each defect is reported at its header with its own code; images that
// bend the rules only where the walk does not look pass.
TEST(Validate, HandBuiltImages) {
    const Bytes cut = header(5, 0, 0xA0, 0);
    const struct {
        const char* what;
        Bytes image;
        int rc;
        long long at;  // lastHdrOffset
        bool multi, comp;
    } cases[] = {
        {"header cut short", cat({kTM, Bytes(cut.begin(), cut.begin() + 3)}), -2, 6, false, false},
        {"reserved flags1 bit", cat({kTM, header(0, 0, 0x48, 0)}), -3, 6, false, false},
        {"reserved flags2 bit", cat({block(4, 0, 0xA0), header(2, 4, 0xA0, 0x04)}), -3, 10, false, false},
        {"tapemark with BOR", header(0, 0, 0xC0, 0), -10, 0, false, false},
        {"tapemark with EOR", cat({kTM, header(0, 0, 0x60, 0)}), -10, 6, false, false},
        {"tapemark with XFORM", header(0, 0, 0x40, 0x80), -11, 0, false, false},
        {"tapemark with bare BZ2", cat({kTM, header(0, 0, 0x40, 0x01)}), -11, 6, false, true},
        {"tapemark with payload", block(1, 0, 0x40), -12, 0, false, false},
        {"empty first segment", cat({kTM, header(0, 0, 0xA0, 0)}), -14, 6, false, false},
        {"tapemark inside block", cat({block(4, 0, 0x80), header(0, 4, 0x40, 0)}), -15, 10, true, false},
        {"second BOR inside block", cat({block(4, 0, 0x80), block(4, 4, 0xA0)}), -16, 10, true, false},
        {"empty continuation", cat({block(4, 0, 0x80), header(0, 4, 0x20, 0)}), -17, 10, true, false},
        {"broken prevLen", cat({kTM, header(0, 5, 0x40, 0)}), -18, 6, false, false},
        {"flag rule wins over prevLen", cat({block(4, 0, 0x80), block(4, 9, 0xA0)}), -16, 10, true, false},
        {"BZ2 without XFORM", cat({block(4, 0, 0x80, 0x01), block(4, 4, 0x20, 0x01)}), -20, 10, true, true},
        {"SCRAMBLE without XFORM", cat({block(4, 0, 0x80, 0x02), block(4, 4, 0x20, 0x02)}), -20, 10, true, false},
        {"continuation lost BZ2", cat({block(4, 0, 0x80, 0x81), block(4, 4, 0x20, 0x80)}), -21, 10, true, true},
        {"continuation lost SCRAMBLE", cat({block(4, 0, 0x80, 0x83), block(4, 4, 0x20, 0x81)}), -22, 10, true, true},
        {"empty image", {}, 0, -1, false, false},
        {"payload runs past the end", cat({kTM, header(100, 0, 0xA0, 0), pattern(10)}), 2, 6, false, false},
        {"first segment without BOR", cat({block(4, 0, 0x20), header(0, 4, 0x40, 0)}), 2, 10, false, false},
        {"single segment with bare BZ2", cat({block(4, 0, 0xA0, 0x01), header(0, 4, 0x40, 0)}), 2, 10, false, true},
        {"continuation XFORM not examined", cat({block(4, 0, 0x80, 0x83), block(3, 4, 0x20, 0x03)}), 2, 10, true, true},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.path("hand.tape");
        writeFile(path, c.image);
        ORVtape t;
        ASSERT_EQ(t.open(path.c_str(), true), 0);
        t.blockID = 7;
        t.fileNumber = 3;
        const Walk w = walk(t);
        EXPECT_EQ(w.rc, c.rc);
        EXPECT_EQ(w.lastRC, c.rc);
        EXPECT_EQ(w.lastHdr, c.at);
        Bytes expectHdr(6, 0);
        if (c.at >= 0) expectHdr.assign(c.image.begin() + c.at, c.image.begin() + std::min<long long>(c.at + 6, c.image.size()));
        // A cut header overwrites only the bytes it has; the rest is still
        // the tapemark read before it.
        if (c.rc == -2) expectHdr = {0x05, 0x00, 0x00, 0x00, 0x40, 0x00};
        EXPECT_EQ(w.hdr, expectHdr);
        EXPECT_EQ(w.multiSeg, c.multi);
        EXPECT_EQ(w.compressed, c.comp);
        // Success restores the position; a cut or undecodable header keeps
        // the tape in front of it; other defects leave it past its 6 bytes.
        EXPECT_EQ(w.offset, c.rc >= 0 ? 0 : c.rc >= -3 ? c.at : c.at + 6);
        EXPECT_EQ(t.blockID, 0);
        EXPECT_EQ(t.fileNumber, 0);
    }

    ORVtape closed;  // no image: -1, outputs untouched
    long long last = 42;
    EXPECT_EQ(closed.validate(&last, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(closed.lastRC, -1);
    EXPECT_EQ(last, 42);
}

TEST(Validate, ImagesWrittenByTheLibrary) {
    const struct {
        const char* what;
        unsigned blockLen;  // 0: the new image as opened
        bool transform;     // compressed, then scrambled
        int count;          // 0: too many small segments to spell out
        bool multi;
    } cases[] = {{"new", 0, false, 5, false}, {"two-segment", 17, false, 3, true},
                 {"compressed", 8000, true, 0, true}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.path(std::string(c.what) + ".tape");
        ORVtape t;
        ASSERT_EQ(t.open(path.c_str(), false), 0);
        t.maxSegLen = 16;
        t.compressOn = t.encryptOn = c.transform;
        if (c.blockLen) {
            const Bytes data = c.transform ? Bytes(c.blockLen, 0) : pattern(c.blockLen);
            ASSERT_EQ(t.write(data.data(), c.blockLen), static_cast<int>(c.blockLen));
            ASSERT_EQ(t.wtm(1), 0);
        }
        const long long before = lseek64(t.fd, 0, SEEK_CUR);
        const Walk w = walk(t);
        const Bytes image = readFile(path);
        if (c.count) EXPECT_EQ(w.rc, c.count);
        else EXPECT_GE(w.rc, 4);
        EXPECT_EQ(w.lastHdr, static_cast<long long>(image.size()) - 6);  // 24 for the new image
        EXPECT_EQ(w.hdr, Bytes(image.end() - 6, image.end()));
        EXPECT_EQ(w.multiSeg, c.multi);
        EXPECT_EQ(w.compressed, c.transform);
        EXPECT_EQ(w.offset, before);
        EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), w.rc);  // every output is optional
    }
}

// The walk passes every header of the image; afterwards the engine must
// still chain the next write and step back from where the tape was.
TEST(Validate, LeavesTheTapeUsableWhereItWas) {
    TempDir dir;
    const std::string path = dir.path("chain.tape");
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    t.maxSegLen = 16;
    for (unsigned len : {17u, 40u, 20u}) {
        const Bytes data = pattern(len, len);
        ASSERT_EQ(t.write(data.data(), len), static_cast<int>(len));
    }
    ASSERT_EQ(t.wtm(2), 0);
    ASSERT_EQ(t.rew(), 0);
    ASSERT_EQ(t.fsr(3), 0);
    const long long afterThird = lseek64(t.fd, 0, SEEK_CUR);

    // 2 + 3 + 2 segments and two tapemarks; the last header read is a tapemark.
    EXPECT_EQ(walk(t).rc, 9);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), afterThird);
    EXPECT_EQ(t.blockID, 0);
    EXPECT_EQ(t.fileNumber, 0);
    EXPECT_EQ(t.curBlkLen, 4);

    t.blockID = 3;  // the walk rewound the count; the host knows where it is
    int len = -1;
    ASSERT_EQ(t.backSpaceBlock(&len), 0);
    EXPECT_EQ(len, 20);
    EXPECT_EQ(t.curPos, afterThird - 6 - 16 - 6 - 4);
    ASSERT_EQ(t.fsr(1), 0);

    EXPECT_EQ(walk(t).rc, 9);
    const Bytes data = pattern(5);
    ASSERT_EQ(t.write(data.data(), 5), 5);
    const Bytes image = readFile(path);
    EXPECT_EQ(Bytes(image.begin() + afterThird, image.begin() + afterThird + 6), header(5, 4, 0xA0, 0));
    EXPECT_EQ(walk(t).rc, 8);
}

TEST(Validate, SerialLengthIsReadInPlace) {
    TempDir dir;
    const std::string path = dir.path("prefix.bin");
    const struct {
        Bytes bytes;
        int value;
    } cases[] = {{{0x80}, 0}, {{0xFF}, 127}, {{0x00, 0x81}, 128}, {{0x2C, 0x82}, 300},
                 {{0x7F, 0x7F, 0x83}, 65535}, {{0x00, 0x00, 0x00, 0x82}, 4194304}, {{0x7F, 0x7F}, -1}};
    Bytes file;
    for (const auto& c : cases) append(file, c.bytes);
    writeFile(path, file);  // the last prefix runs into the end of the file
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), true), 0);
    long long at = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(at);
        ASSERT_TRUE(t.setPosition(at));
        EXPECT_EQ(t.getSerialLength(), c.value);
        EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), at);
        EXPECT_EQ(t.lastRC, 0);
        at += static_cast<long long>(c.bytes.size());
    }
    t.close();
    EXPECT_EQ(t.getSerialLength(), -1);

    // On the first payload byte of a compressed block it gives the block's length.
    ORVtape w;
    ASSERT_EQ(w.open(dir.path("bz.tape").c_str(), false), 0);
    w.compressOn = true;
    const Bytes zeros(300000, 0);
    ASSERT_EQ(w.write(zeros.data(), 300000), 300000);
    ASSERT_EQ(w.rew(), 0);
    unsigned char h[6];
    ASSERT_EQ(w.readHdr(h), 0);
    ASSERT_EQ(h[5], 0x81);
    EXPECT_EQ(w.getSerialLength(), 300000);
    EXPECT_EQ(lseek64(w.fd, 0, SEEK_CUR), 6);
}
