// Single headers: reading, writing, and stepping back along the prevLen chain.
#include "support.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace testsupport;

TEST(HeaderIO, ReadAndWrite) {
    ORVtape none;
    unsigned char h[6] = {0, 0, 0, 0, 0x40, 0};
    EXPECT_EQ(none.readHdr(h), -1);
    EXPECT_EQ(none.writeHdr(h), -1);
    EXPECT_EQ(none.readPrevHdr(h), -1);

    // The transform bits bring XFORM along on disk only.
    Mounted m;
    const unsigned char in[] = {0x00, 0x01, 0x02, 0x03, 0x80}, out[] = {0x00, 0x81, 0x82, 0x83, 0x80};
    Bytes expect;
    for (int i = 0; i < 5; ++i) {
        h[5] = in[i];
        ASSERT_EQ(m.t.writeHdr(h), 0);
        EXPECT_TRUE(h[5] == in[i] && m.t.hdrFlags2 == in[i] && m.t.hdrPos == 6 * i && m.t.curPos == 6 * i);
        EXPECT_EQ(where(m.t).pos, 6 * i + 6);
        expect = expect + header(0, 0, 0x40, out[i]);
    }
    EXPECT_EQ(readFile(m.path), expect);
    EXPECT_TRUE(m.t.readHdr(nullptr) == -2 && m.t.writeHdr(nullptr) == -3 && m.t.readPrevHdr(nullptr) == -2);

    // Reading: XFORM alone is a defined bit; reserved bits and short reads
    // are refused where they stand.
    Mounted r(segment(4, 0, 0xA0, 0x80) + header(0, 4, 0x40, 0) + header(0, 0, 0x10, 0), true);
    ASSERT_EQ(r.t.readHdr(h), 0);
    EXPECT_EQ(Bytes(h, h + 6), header(4, 0, 0xA0, 0x80));
    EXPECT_TRUE(r.t.curBlkLen == 4 && r.t.hdrFlags2 == 0x80 && r.t.curPos == 0 && where(r.t).pos == 6);
    const struct { long long at; int rc; } reads[] = {{10, 0}, {16, -3}, {22, -2}, {19, -2}};
    for (const auto& c : reads) {
        ASSERT_TRUE(r.t.setPosition(c.at));
        EXPECT_EQ(r.t.readHdr(h), c.rc);
        EXPECT_EQ(where(r.t).pos, c.at + (c.rc ? 0 : 6));
        EXPECT_EQ(r.t.hdrPos, 10);  // the header last accepted
    }
    ASSERT_TRUE(r.t.setPosition(22));
    EXPECT_EQ(r.t.writeHdr(h), -3);  // read-only image
    EXPECT_TRUE(r.t.hdrPos == 22 && where(r.t).pos == 22 && fileSize(r.path) == 22);
}

TEST(HeaderIO, StepsBackAlongTheChain) {
    Mounted m;
    unsigned char h[6];
    EXPECT_EQ(m.t.readPrevHdr(h), -4);
    ASSERT_EQ(m.t.read(nullptr, 0), 0);
    ASSERT_EQ(m.t.readPrevHdr(h), 0);
    EXPECT_TRUE(m.t.curPos == 0 && m.t.bot && m.t.curBlkLen == 0 && m.t.prevBlkLen == 0);
    EXPECT_EQ(Bytes(h, h + 6), header(0, 0, 0x40, 0));

    // A 20-byte block (16 + 4), then a 40-byte one (16 + 16 + 8), walked back.
    m.t.maxSegLen = 16;
    const Bytes a = pattern(20), b = pattern(40, 2);
    ASSERT_EQ(m.t.write(a.data(), 20), 20);
    ASSERT_EQ(m.t.write(b.data(), 40), 40);
    const struct { unsigned char flags1; long long at; int segmentBefore; } steps[] = {
        {0x20, 76, 16}, {0x00, 54, 16}, {0x80, 32, 4}, {0x20, 22, 16}, {0x80, 0, 0}};
    for (const auto& s : steps) {
        ASSERT_EQ(m.t.readPrevHdr(h), 0);
        EXPECT_TRUE(h[4] == s.flags1 && m.t.curPos == s.at && m.t.hdrPos == s.at && m.t.curBlkLen == s.segmentBefore);
    }

    // A block whose prevLen points before the load point: the header is
    // read, the one before cannot be; position and fields come back.
    Mounted bad(header(0, 0, 0x40, 0) + segment(3, 20, 0xA0));
    ASSERT_EQ(bad.t.fsr(2), 0);
    const int prev = bad.t.prevBlkLen;
    EXPECT_EQ(bad.t.readPrevHdr(h), -2);
    EXPECT_TRUE(where(bad.t).pos == 15 && bad.t.curPos == 15 && bad.t.curBlkLen == 3 && bad.t.prevBlkLen == prev);
    EXPECT_EQ(bad.t.lastRC, 0);
    bad.t.curBlkLen = 20;  // sends the step itself to a negative offset
    EXPECT_EQ(bad.t.readPrevHdr(h), -2);
    EXPECT_TRUE(bad.t.lastRC == -1 && bad.t.lastErrno == EOVERFLOW && where(bad.t).pos == 15);
}
