// Single headers: reading, writing, and stepping back along the prevLen chain.
#include "ORVtape.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

using namespace testsupport;

namespace {

Bytes hdrBytes(const unsigned char* h) { return Bytes(h, h + 6); }

// Mounts an image holding exactly the given bytes.
void mount(ORVtape& t, const TempDir& dir, const Bytes& image, bool readOnly = false) {
    writeFile(dir.path("h.tape"), image);
    ASSERT_EQ(t.open(dir.path("h.tape").c_str(), readOnly), 0);
}

}  // namespace

TEST(HeaderIO, WrittenHeaderBytes) {
    TempDir dir;
    ORVtape t;
    ASSERT_EQ(t.open(dir.path("w.tape").c_str(), false), 0);
    const Bytes block = pattern(300);
    ASSERT_EQ(t.write(block.data(), 300), 300);
    t.close();
    Bytes expect = header(300, 0, 0xA0, 0x00);
    EXPECT_EQ(expect, (Bytes{0x2C, 0x01, 0x00, 0x00, 0xA0, 0x00}));
    append(expect, block);
    EXPECT_EQ(readFile(dir.path("w.tape")), expect);
}

TEST(HeaderIO, WriteHdrSetsXformBitOnDiskOnly) {
    TempDir dir;
    ORVtape t;
    mount(t, dir, {});
    ASSERT_TRUE(t.setPosition(0));
    const unsigned char in[] = {0x00, 0x01, 0x02, 0x03, 0x80};
    const unsigned char out[] = {0x00, 0x81, 0x82, 0x83, 0x80};
    Bytes expect;
    for (int i = 0; i < 5; ++i) {
        unsigned char h[6] = {0, 0, 0, 0, 0x40, in[i]};
        ASSERT_EQ(t.writeHdr(h), 0);
        EXPECT_EQ(h[5], in[i]);         // the caller's buffer is left alone
        EXPECT_EQ(t.hdrFlags2, in[i]);  // and so is the field
        EXPECT_EQ(t.hdrPos, 6 * i);
        EXPECT_EQ(t.curPos, 6 * i);     // curPos stays at the header
        EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 6 * i + 6);
        append(expect, header(0, 0, 0x40, out[i]));
    }
    t.run();
    EXPECT_EQ(readFile(dir.path("h.tape")), expect);
}

TEST(HeaderIO, ReadHdrResults) {
    TempDir dir;
    ORVtape t;
    unsigned char h[6];
    EXPECT_EQ(t.readHdr(h), -1);
    EXPECT_EQ(t.writeHdr(h), -1);
    EXPECT_EQ(t.readPrevHdr(h), -1);

    Bytes image = header(4, 0, 0xA0, 0x80);  // XFORM alone is a defined bit
    append(image, {1, 2, 3, 4});
    append(image, header(0, 4, 0x10, 0));     // reserved flags1 bit
    mount(t, dir, image);
    ASSERT_EQ(t.readHdr(h), 0);
    EXPECT_EQ(hdrBytes(h), header(4, 0, 0xA0, 0x80));
    EXPECT_EQ(t.curBlkLen, 4);
    EXPECT_EQ(t.hdrFlags2, 0x80);
    EXPECT_EQ(t.curPos, 0);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 6);

    ASSERT_TRUE(t.setPosition(10));
    EXPECT_EQ(t.readHdr(h), -3);
    EXPECT_EQ(t.curPos, 10);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 10);

    ASSERT_TRUE(t.setPosition(16));  // the end of the image
    EXPECT_EQ(t.readHdr(h), -2);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 16);
    ASSERT_TRUE(t.setPosition(13));  // three bytes short
    EXPECT_EQ(t.readHdr(h), -2);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 13);
    EXPECT_EQ(t.lastRC, 0);
}

TEST(HeaderIO, WriteHdrRefusedOnReadOnlyImage) {
    TempDir dir;
    ORVtape t;
    mount(t, dir, header(0, 0, 0x40, 0), true);
    ASSERT_TRUE(t.setPosition(6));
    unsigned char h[6] = {0, 0, 0, 0, 0x40, 0};
    EXPECT_EQ(t.writeHdr(h), -3);
    EXPECT_EQ(t.hdrPos, 6);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 6);
    EXPECT_EQ(fileSize(dir.path("h.tape")), 6);
}

TEST(HeaderIO, StepsBackAlongTheChain) {
    TempDir dir;
    ORVtape t;
    unsigned char h[6];
    ASSERT_EQ(t.open(dir.path("c.tape").c_str(), false), 0);
    EXPECT_EQ(t.readPrevHdr(h), -4);
    EXPECT_EQ(t.lastRC, 0);

    // In a new image, back from just after the first tapemark.
    ASSERT_EQ(t.read(nullptr, 0), 0);
    EXPECT_EQ(t.curPos, 6);
    ASSERT_EQ(t.readPrevHdr(h), 0);
    EXPECT_EQ(t.curPos, 0);
    EXPECT_TRUE(t.bot);
    EXPECT_EQ(hdrBytes(h), header(0, 0, 0x40, 0));
    EXPECT_EQ(t.curBlkLen, 0);
    EXPECT_EQ(t.prevBlkLen, 0);

    // Back over a block of three segments, preceded by a 20-byte block.
    t.maxSegLen = 16;
    const Bytes a = pattern(20), b = pattern(40, 2);
    ASSERT_EQ(t.write(a.data(), 20), 20);  // segments 16 + 4
    ASSERT_EQ(t.write(b.data(), 40), 40);  // segments 16 + 16 + 8
    const unsigned char flags[] = {0x20, 0x00, 0x80};
    const long long offsets[] = {76, 54, 32};
    const int before[] = {16, 16, 4};  // curLen of the segment ending at each header
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(t.readPrevHdr(h), 0);
        EXPECT_EQ(h[4], flags[i]);
        EXPECT_EQ(t.curPos, offsets[i]);
        EXPECT_EQ(t.hdrPos, offsets[i]);
        EXPECT_EQ(t.curBlkLen, before[i]);
    }
}

TEST(HeaderIO, FailedStepBackKeepsPositionAndFields) {
    TempDir dir;
    ORVtape t;
    unsigned char h[6];
    // A tapemark, then a block whose prevLen (20) points before the load point.
    Bytes image = header(0, 0, 0x40, 0);
    append(image, header(3, 20, 0xA0, 0));
    append(image, {1, 2, 3});
    mount(t, dir, image);
    ASSERT_EQ(t.fsr(2), 0);
    ASSERT_EQ(t.curBlkLen, 3);
    const int prevBefore = t.prevBlkLen;

    // The header at 6 is read, but the one before it cannot be reached:
    // position and header fields come back as they were.
    EXPECT_EQ(t.readPrevHdr(h), -2);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 15);
    EXPECT_EQ(t.curPos, 15);
    EXPECT_EQ(t.curBlkLen, 3);
    EXPECT_EQ(t.prevBlkLen, prevBefore);
    EXPECT_EQ(t.lastRC, 0);

    t.curBlkLen = 20;  // sends the step itself to a negative offset
    EXPECT_EQ(t.readPrevHdr(h), -2);
    EXPECT_EQ(t.lastRC, -1);
    EXPECT_EQ(t.lastErrno, EOVERFLOW);
    EXPECT_EQ(lseek64(t.fd, 0, SEEK_CUR), 15);
    EXPECT_EQ(t.curBlkLen, 20);
}
