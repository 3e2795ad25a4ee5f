// Arguments outside the interface: a clear failure code (or a harmless
// result), never a crash, a stray write or a changed image.
#include "ORVtape.h"
#include "orvTapeItf.h"
#include "support.h"

#include <cerrno>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

using namespace testsupport;

TEST(BadArguments, NullBuffersPathsAndPointers) {
    TempDir dir;
    const std::string path = dir.path("b.tape");
    ORVtape t;
    EXPECT_EQ(t.open(nullptr, false), -1);
    EXPECT_EQ(t.open(std::string(5000, 'x').c_str(), false), -1);
    EXPECT_EQ(t.lastErrno, ENAMETOOLONG);
    EXPECT_EQ(t.open((std::string(dir.path("")) + std::string(300, 'y')).c_str(), true), -1);
    EXPECT_EQ(t.lastErrno, ENAMETOOLONG);
    EXPECT_LT(t.fd, 0);

    ASSERT_EQ(t.open(path.c_str(), false), 0);
    const Bytes block = pattern(1000, 5);
    t.compressOn = true;
    ASSERT_EQ(t.write(block.data(), 1000), 1000);
    t.compressOn = false;
    ASSERT_EQ(t.write(block.data(), 1000), 1000);
    const Bytes image = readFile(path);

    // Data announced without a pointer: refused, nothing reaches the image.
    EXPECT_LT(t.write(nullptr, 10), 0);
    EXPECT_EQ(readFile(path), image);
    EXPECT_EQ(t.blockID, 2);

    // Null buffers with a non-zero size pass the block without delivering it.
    ASSERT_EQ(t.rew(), 0);
    EXPECT_EQ(t.read(nullptr, 1000), 1000);  // compressed: length from the prefix
    EXPECT_EQ(t.read(nullptr, 1000), 1000);
    EXPECT_EQ(t.readBkwd(nullptr, 1000), 1000);
    EXPECT_EQ(t.readBkwd(nullptr, UINT_MAX), 1000);
    EXPECT_EQ(t.blockID, 0);

    // Header methods and validate without their buffers.
    EXPECT_LT(t.readHdr(nullptr), 0);
    EXPECT_LT(t.writeHdr(nullptr), 0);
    EXPECT_LT(t.readPrevHdr(nullptr), 0);
    EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(readFile(path), image);
}

TEST(BadArguments, CompressedBlockLongerThanItsPrefixStaysInsideTheBlockLength) {
    TempDir dir;
    const std::string path = dir.path("c.tape");
    {
        ORVtape w;
        ASSERT_EQ(w.open(path.c_str(), false), 0);
        w.compressOn = true;
        const Bytes plain(2000, 'q');
        ASSERT_EQ(w.write(plain.data(), 2000), 2000);
    }
    // The prefix after the header says 1000 (68 87) where the stream holds 2000.
    Bytes image = readFile(path);
    ASSERT_EQ(image[5], 0x81);
    ASSERT_EQ(image[6], 0x50);
    ASSERT_EQ(image[7], 0x8F);
    image[6] = 0x68;
    image[7] = 0x87;
    writeFile(path, image);
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), true), 0);
    for (unsigned size : {1500u, 0x80000000u}) {
        Bytes buf(4000, 0xA5);
        EXPECT_EQ(t.read(buf.data(), size), -12);
        EXPECT_TRUE(std::all_of(buf.begin() + 1000, buf.end(), [](unsigned char b) { return b == 0xA5; }));
        EXPECT_EQ(t.curPos, 0);
    }
}

TEST(BadArguments, AbsurdSizesCountsAndSegmentLengths) {
    TempDir dir;
    const std::string path = dir.path("s.tape");
    ORVtape t;
    ASSERT_EQ(t.open(path.c_str(), false), 0);
    const Bytes block = pattern(100, 6);

    // Segment lengths far outside 16..65535 are brought into range.
    const int segs[] = {INT_MIN, -1, 0, 15, 65536, INT_MAX};
    const int want[] = {16, 16, 16, 16, 65535, 65535};
    for (int i = 0; i < 6; ++i) {
        t.maxSegLen = segs[i];
        ASSERT_EQ(t.write(block.data(), 100), 100);
        EXPECT_EQ(t.maxSegLen, want[i]);
    }

    // Record size limits that would shrink or overflow are ignored.
    t.setMaxRecordSize(INT_MIN);
    t.setMaxRecordSize(-1);
    EXPECT_EQ(t.maxRecordSize, 4194304);
    EXPECT_EQ(t.write(block.data(), UINT_MAX), -13);
    EXPECT_EQ(t.write(block.data(), 0x80000000u), -13);

    // Negative block numbers rewind; huge ones stop at the end of the data.
    EXPECT_EQ(t.locate(-1), 6);
    EXPECT_EQ(t.blockID, 0);
    EXPECT_EQ(t.locate(INT_MAX), -2);
    EXPECT_EQ(t.blockID, 6);
    EXPECT_EQ(t.bsr(UINT_MAX), -4);
    EXPECT_EQ(t.fsr(UINT_MAX), -2);
    EXPECT_EQ(t.validate(nullptr, nullptr, nullptr, nullptr), 7 * 4 + 2 * 1);

    // Through the C interface: a directory, sizes of 2^31 and more.
    orvTapeHandle h = orvTapeCreate();
    EXPECT_EQ(orvTapeOpen(h, dir.path("").c_str(), false), -1);
    EXPECT_EQ(orvTapeOpen(h, path.c_str(), true), 0);
    orvTapeSetMaxSegLen(h, 1);
    unsigned char small[8];
    EXPECT_EQ(orvTapeWrite(h, small, 0xFFFFFFFFu), -13);
    EXPECT_EQ(orvTapeWrite(h, small, 8), -11);  // read-only
    EXPECT_EQ(orvTapeReadBkwd(h, small, 0x80000000u), -4);
    orvTapeDestroy(h);
}
