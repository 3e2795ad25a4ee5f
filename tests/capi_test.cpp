// The C interface: null handles, settings and status, and sizes and counts
// that do not fit a signed int reaching the engine unchanged.
#include "support.h"

#include <algorithm>
#include <climits>
#include <gtest/gtest.h>

using namespace testsupport;

TEST(CInterface, NullHandleGivesFixedValuesAndTouchesNoTape) {
    Mounted m;
    orvTapeHandle h = &m.t;
    ASSERT_EQ(orvTapeFSR(h, 2), 0);
    unsigned char buf[16] = {};
    const int ints[] = {orvTapeOpen(nullptr, "x", false), orvTapeClose(nullptr), orvTapeErase(nullptr),
                        orvTapeREW(nullptr), orvTapeRUN(nullptr), orvTapeGetBlockID(nullptr),
                        orvTapeGetFileNumber(nullptr), orvTapeGetLastErrno(nullptr), orvTapeGetLastRC(nullptr),
                        orvTapeGetMaxSegLen(nullptr), orvTapeWrite(nullptr, buf, 16), orvTapeWTM(nullptr, 1),
                        orvTapeRead(nullptr, buf, 16), orvTapeFSF(nullptr, 1), orvTapeFSR(nullptr, 1),
                        orvTapeReadBkwd(nullptr, buf, 16), orvTapeBSF(nullptr, 1), orvTapeBSR(nullptr, 1),
                        orvTapeLocate(nullptr, 0)};
    for (int r : ints) EXPECT_EQ(r, -1);
    EXPECT_EQ(orvTapeGetMaxTapeLen(nullptr), ~0ULL);
    EXPECT_TRUE(orvTapeGetSync(nullptr) && orvTapeIsEOT(nullptr) && orvTapeIsWrtProt(nullptr));
    EXPECT_FALSE(orvTapeIsCompressed(nullptr) || orvTapeIsEncrypted(nullptr) || orvTapeIsBOT(nullptr) ||
                 orvTapeIsReady(nullptr) || orvTapeIsTPMK(nullptr));
    orvTapeSetMaxSegLen(nullptr, 5), orvTapeSetMaxTapeLen(nullptr, 5), orvTapeSetSync(nullptr, true);
    orvTapeSetCompress(nullptr, true), orvTapeSetEncrypt(nullptr, true), orvTapeDestroy(nullptr);
    EXPECT_EQ(where(m.t), (Where{12, 2, 2, true}));
    EXPECT_TRUE(orvTapeGetLastRC(h) == 0 && orvTapeIsTPMK(h) && !orvTapeIsBOT(h) && orvTapeGetFileNumber(h) == 2);
}

TEST(CInterface, SettingsStatusAndUnsignedArguments) {
    TempDir dir;
    const std::string path = dir.path("c.tape");
    orvTapeHandle h = orvTapeCreate();
    unsigned char buf[16] = {};
    static_cast<ORVtape*>(h)->blockID = 5, static_cast<ORVtape*>(h)->fileNumber = 3;
    EXPECT_TRUE(orvTapeGetBlockID(h) == 0 && orvTapeGetFileNumber(h) == 0 && !orvTapeIsReady(h));
    EXPECT_FALSE(orvTapeGetSync(h) || orvTapeIsEOT(h) || orvTapeIsWrtProt(h) || orvTapeIsCompressed(h));
    EXPECT_TRUE(orvTapeRead(h, buf, 16) == -1 && orvTapeLocate(h, 1) == -1 && orvTapeGetLastRC(h) == -1);
    static_cast<ORVtape*>(h)->lastRC = 42;  // settings neither read nor set it
    orvTapeSetCompress(h, true), orvTapeSetEncrypt(h, true), orvTapeSetSync(h, true);
    orvTapeSetMaxSegLen(h, 0);
    EXPECT_EQ(orvTapeGetMaxSegLen(h), 65535);
    orvTapeSetMaxSegLen(h, 10);
    EXPECT_TRUE(orvTapeGetMaxSegLen(h) == 10 && orvTapeGetLastRC(h) == 42 && orvTapeGetSync(h));
    EXPECT_TRUE(orvTapeIsCompressed(h) && orvTapeIsEncrypted(h));
    ASSERT_EQ(orvTapeOpen(h, path.c_str(), false), 0);
    EXPECT_TRUE(orvTapeIsReady(h) && orvTapeIsBOT(h) && orvTapeGetMaxSegLen(h) == 16);
    const Bytes text(600, 'q'), block = pattern(1000, 3);
    ASSERT_EQ(orvTapeWrite(h, text.data(), 600), 600);
    ASSERT_EQ(readFile(path)[5], 0x83);  // settings made before open took effect
    orvTapeSetCompress(h, false), orvTapeSetEncrypt(h, false);
    ASSERT_EQ(orvTapeWTM(h, 1), 0);
    ASSERT_EQ(orvTapeWrite(h, block.data(), 1000), 1000);
    orvTapeSetMaxTapeLen(h, 1u << 20);
    EXPECT_FALSE(orvTapeIsEOT(h));
    orvTapeSetMaxTapeLen(h, static_cast<unsigned long long>(static_cast<ORVtape*>(h)->curPos));
    EXPECT_TRUE(orvTapeIsEOT(h) && orvTapeGetMaxTapeLen(h) == static_cast<unsigned long long>(static_cast<ORVtape*>(h)->curPos));
    orvTapeSetMaxTapeLen(h, 0);
    EXPECT_TRUE(orvTapeIsEOT(h));
    const long long size = fileSize(path);
    EXPECT_EQ(orvTapeWrite(h, block.data(), 0x80000000u), -13);  // as a negative int it would pass the limit
    EXPECT_TRUE(orvTapeGetLastRC(h) == -13 && fileSize(path) == size);

    // A real 1 MiB buffer announced as 2 GiB: only the block may arrive,
    // read straight or through both transforms; counts of 2^31 stay huge.
    ASSERT_EQ(orvTapeREW(h), 0);
    for (const Bytes* b : {&text, &block}) {
        Bytes big(1 << 20, 0xA5);
        EXPECT_EQ(orvTapeRead(h, big.data(), 0x80000000u), static_cast<int>(b->size()));
        EXPECT_TRUE(std::equal(b->begin(), b->end(), big.begin()));
        EXPECT_TRUE(std::all_of(big.begin() + b->size(), big.end(), [](unsigned char c) { return c == 0xA5; }));
        EXPECT_EQ(orvTapeFSR(h, 1), b == &text ? 0 : -2);  // the tapemark, then the end
    }
    const struct { int (*op)(orvTapeHandle, unsigned); int rc, blockID, file; } counts[] = {
        {orvTapeBSR, -4, 0, 0}, {orvTapeFSR, -2, 3, 1}, {orvTapeBSF, -4, 0, 0}, {orvTapeFSF, -2, 3, 1}};
    for (const auto& c : counts) {
        EXPECT_EQ(c.op(h, 0x80000000u), c.rc);
        EXPECT_TRUE(orvTapeGetBlockID(h) == c.blockID && orvTapeGetFileNumber(h) == c.file && orvTapeGetLastRC(h) == c.rc);
    }
    EXPECT_EQ(orvTapeLocate(h, INT_MIN), 3);
    EXPECT_TRUE(orvTapeIsBOT(h) && orvTapeGetBlockID(h) == 0 && orvTapeWTM(h, 0) == 0 && orvTapeLocate(h, 1) == 0);
    EXPECT_TRUE(orvTapeReadBkwd(h, buf, 16) == 600 && orvTapeErase(h) == 0 && fileSize(path) == 0 && orvTapeClose(h) == 0);
    EXPECT_TRUE(!orvTapeIsReady(h) && !orvTapeIsCompressed(h) && orvTapeGetMaxSegLen(h) == 65535 && !orvTapeGetSync(h));
    ASSERT_EQ(orvTapeOpen(h, path.c_str(), false), 0);
    orvTapeSetSync(h, true);
    EXPECT_EQ(orvTapeRUN(h), 0);
    EXPECT_TRUE(!orvTapeGetSync(h) && !orvTapeIsReady(h));
    ASSERT_EQ(orvTapeOpen(h, dir.path("new.tape").c_str(), false), 0);
    orvTapeDestroy(h);  // the new image keeps its five tapemarks
    EXPECT_EQ(fileSize(dir.path("new.tape")), 30);
}
