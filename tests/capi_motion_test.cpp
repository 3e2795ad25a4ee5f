// The C data and motion calls: null handles, and sizes and counts that do
// not fit a signed int reaching the engine unchanged.
#include "orvTapeItf.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

using namespace testsupport;

TEST(CMotion, NullHandleIsRefusedAndTouchesNoTape) {
    TempDir dir;
    orvTapeHandle h = orvTapeCreate();
    ASSERT_EQ(orvTapeOpen(h, dir.path("n.tape").c_str(), false), 0);
    ASSERT_EQ(orvTapeFSR(h, 2), 0);
    unsigned char buf[16] = {};
    EXPECT_EQ(orvTapeWrite(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(orvTapeWTM(nullptr, 1), -1);
    EXPECT_EQ(orvTapeRead(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(orvTapeFSF(nullptr, 1), -1);
    EXPECT_EQ(orvTapeFSR(nullptr, 1), -1);
    EXPECT_EQ(orvTapeReadBkwd(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(orvTapeBSF(nullptr, 1), -1);
    EXPECT_EQ(orvTapeBSR(nullptr, 1), -1);
    EXPECT_EQ(orvTapeLocate(nullptr, 0), -1);
    EXPECT_EQ(orvTapeGetBlockID(h), 2);
    EXPECT_EQ(orvTapeGetLastRC(h), 0);
    orvTapeDestroy(h);
    EXPECT_EQ(fileSize(dir.path("n.tape")), 30);

    // With no image mounted, reading and motion in either direction say so.
    orvTapeHandle idle = orvTapeCreate();
    EXPECT_EQ(orvTapeRead(idle, buf, sizeof buf), -1);
    EXPECT_EQ(orvTapeFSR(idle, 1), -1);
    EXPECT_EQ(orvTapeFSF(idle, 1), -1);
    EXPECT_EQ(orvTapeReadBkwd(idle, buf, sizeof buf), -1);
    EXPECT_EQ(orvTapeBSR(idle, 1), -1);
    EXPECT_EQ(orvTapeBSF(idle, 1), -1);
    EXPECT_EQ(orvTapeLocate(idle, 1), -1);
    EXPECT_EQ(orvTapeGetLastRC(idle), -1);
    orvTapeDestroy(idle);
}

TEST(CMotion, LargeSizesAndCountsPassThroughUnsigned) {
    TempDir dir;
    const std::string path = dir.path("big.tape");
    orvTapeHandle h = orvTapeCreate();
    ASSERT_EQ(orvTapeOpen(h, path.c_str(), false), 0);
    const Bytes block = pattern(1000, 3);
    ASSERT_EQ(orvTapeWrite(h, block.data(), 1000), 1000);
    ASSERT_EQ(orvTapeWTM(h, 1), 0);
    const Bytes text(600, 'q');
    orvTapeSetCompress(h, true);
    orvTapeSetEncrypt(h, true);
    ASSERT_EQ(orvTapeWrite(h, text.data(), 600), 600);
    const long long size = fileSize(path);

    // Taken as a negative int, the length would pass the size limit.
    EXPECT_EQ(orvTapeWrite(h, block.data(), 0x80000000u), -13);
    EXPECT_EQ(fileSize(path), size);

    // A real 1 MiB buffer announced as 2 GiB: only the block may arrive,
    // whether read straight or through both transforms.
    ASSERT_EQ(orvTapeREW(h), 0);
    for (const Bytes* b : {&block, &text}) {
        Bytes big(1 << 20, 0xA5);
        EXPECT_EQ(orvTapeRead(h, big.data(), 0x80000000u), static_cast<int>(b->size()));
        EXPECT_TRUE(std::equal(b->begin(), b->end(), big.begin()));
        EXPECT_TRUE(std::all_of(big.begin() + b->size(), big.end(), [](unsigned char c) { return c == 0xA5; }));
        EXPECT_EQ(orvTapeFSR(h, 1), b == &block ? 0 : -2);  // the tapemark, then the end
    }
    ASSERT_EQ(orvTapeREW(h), 0);

    // Counts of 2^31 would mean no motion if they turned negative.
    EXPECT_EQ(orvTapeFSR(h, 0x80000000u), -2);
    EXPECT_EQ(orvTapeGetBlockID(h), 3);
    EXPECT_EQ(orvTapeBSR(h, 0x80000000u), -4);
    EXPECT_EQ(orvTapeGetBlockID(h), 0);
    EXPECT_EQ(orvTapeFSF(h, 0x80000000u), -2);
    EXPECT_EQ(orvTapeGetFileNumber(h), 1);
    EXPECT_EQ(orvTapeBSF(h, 0x80000000u), -4);
    EXPECT_EQ(orvTapeGetFileNumber(h), 0);
    EXPECT_EQ(orvTapeGetLastRC(h), -4);

    EXPECT_EQ(orvTapeLocate(h, 2), 0);
    EXPECT_EQ(orvTapeLocate(h, INT_MIN), 2);
    EXPECT_EQ(orvTapeGetBlockID(h), 0);
    EXPECT_EQ(orvTapeWTM(h, 0), 0);
    EXPECT_EQ(orvTapeFSR(h, 3), 0);
    unsigned char tail[8] = {};
    EXPECT_EQ(orvTapeReadBkwd(h, tail, sizeof tail), 600);
    EXPECT_TRUE(std::equal(text.begin() + 592, text.end(), tail));
    orvTapeDestroy(h);
    EXPECT_EQ(fileSize(path), size);
}
