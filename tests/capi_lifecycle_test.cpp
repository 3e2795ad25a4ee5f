// The C interface's handles, settings and status queries.
#include "ORVtape.h"
#include "orvTapeItf.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(CapiLifecycle, NullHandleGivesFixedValues) {
    EXPECT_EQ(orvTapeOpen(nullptr, "x", false), -1);
    EXPECT_EQ(orvTapeClose(nullptr), -1);
    EXPECT_EQ(orvTapeErase(nullptr), -1);
    EXPECT_EQ(orvTapeREW(nullptr), -1);
    EXPECT_EQ(orvTapeRUN(nullptr), -1);
    EXPECT_EQ(orvTapeGetBlockID(nullptr), -1);
    EXPECT_EQ(orvTapeGetFileNumber(nullptr), -1);
    EXPECT_EQ(orvTapeGetLastErrno(nullptr), -1);
    EXPECT_EQ(orvTapeGetLastRC(nullptr), -1);
    EXPECT_EQ(orvTapeGetMaxSegLen(nullptr), -1);
    EXPECT_EQ(orvTapeGetMaxTapeLen(nullptr), ~0ULL);
    EXPECT_TRUE(orvTapeGetSync(nullptr));
    EXPECT_TRUE(orvTapeIsEOT(nullptr));
    EXPECT_TRUE(orvTapeIsWrtProt(nullptr));
    EXPECT_FALSE(orvTapeIsCompressed(nullptr) || orvTapeIsEncrypted(nullptr) || orvTapeIsBOT(nullptr) ||
                 orvTapeIsReady(nullptr) || orvTapeIsTPMK(nullptr));
    orvTapeSetMaxSegLen(nullptr, 5);
    orvTapeSetMaxTapeLen(nullptr, 5);
    orvTapeSetSync(nullptr, true);
    orvTapeSetCompress(nullptr, true);
    orvTapeSetEncrypt(nullptr, true);
    orvTapeDestroy(nullptr);
}

TEST(CapiLifecycle, NewHandleAndSettings) {
    TempDir dir;
    orvTapeHandle h = orvTapeCreate();
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(orvTapeIsReady(h));
    EXPECT_EQ(orvTapeGetBlockID(h), 0);
    EXPECT_EQ(orvTapeGetMaxSegLen(h), 65535);
    EXPECT_EQ(orvTapeGetMaxTapeLen(h), ~0ULL);
    EXPECT_FALSE(orvTapeGetSync(h) || orvTapeIsEOT(h) || orvTapeIsWrtProt(h));

    // Settings made before open take effect; they neither read nor set lastRC.
    static_cast<ORVtape*>(h)->lastRC = 42;
    orvTapeSetCompress(h, true);
    orvTapeSetMaxSegLen(h, 0);
    EXPECT_EQ(orvTapeGetMaxSegLen(h), 65535);
    orvTapeSetMaxSegLen(h, 10);
    EXPECT_EQ(orvTapeGetMaxSegLen(h), 10);
    EXPECT_EQ(orvTapeGetLastRC(h), 42);
    ASSERT_EQ(orvTapeOpen(h, dir.path("s.tape").c_str(), false), 0);
    EXPECT_TRUE(orvTapeIsReady(h));
    EXPECT_EQ(orvTapeGetMaxSegLen(h), 16);  // the tapemarks of open clamped it

    // Compressible data is stored compressed, in 16-byte segments.
    const Bytes text(1000, 'a');
    ASSERT_EQ(orvTapeWrite(h, text.data(), 1000), 1000);
    const Bytes image = readFile(dir.path("s.tape"));
    ASSERT_GE(image.size(), 12u);
    EXPECT_EQ(image[4], 0x80);
    EXPECT_EQ(image[5], 0x81);

    // Capacity: 0 or a length not past the position sets the warning at once.
    orvTapeSetMaxTapeLen(h, 1u << 20);
    EXPECT_FALSE(orvTapeIsEOT(h));
    orvTapeSetMaxTapeLen(h, static_cast<unsigned long long>(static_cast<ORVtape*>(h)->curPos));
    EXPECT_TRUE(orvTapeIsEOT(h));
    orvTapeSetMaxTapeLen(h, 0);
    EXPECT_TRUE(orvTapeIsEOT(h));

    EXPECT_EQ(orvTapeGetBlockID(h), 1);
    EXPECT_EQ(orvTapeClose(h), 0);
    EXPECT_FALSE(orvTapeIsReady(h));
    EXPECT_FALSE(orvTapeIsCompressed(h));
    EXPECT_EQ(orvTapeGetMaxSegLen(h), 65535);
    orvTapeSetSync(h, true);
    EXPECT_TRUE(orvTapeGetSync(h));
    EXPECT_EQ(orvTapeRUN(h), 0);
    EXPECT_FALSE(orvTapeGetSync(h));
    orvTapeDestroy(h);
}

TEST(CapiLifecycle, CountersReadZeroWithoutImageAndDestroyKeepsNewImage) {
    TempDir dir;
    orvTapeHandle h = orvTapeCreate();
    static_cast<ORVtape*>(h)->blockID = 5;
    static_cast<ORVtape*>(h)->fileNumber = 3;
    EXPECT_EQ(orvTapeGetBlockID(h), 0);
    EXPECT_EQ(orvTapeGetFileNumber(h), 0);
    ASSERT_EQ(orvTapeOpen(h, dir.path("d.tape").c_str(), false), 0);
    EXPECT_EQ(orvTapeWTM(h, 2), 0);
    EXPECT_EQ(orvTapeGetFileNumber(h), 2);
    EXPECT_EQ(orvTapeREW(h), 0);
    EXPECT_TRUE(orvTapeIsBOT(h));
    EXPECT_TRUE(orvTapeIsTPMK(h));
    orvTapeDestroy(h);
    EXPECT_EQ(fileSize(dir.path("d.tape")), 12);

    h = orvTapeCreate();
    ASSERT_EQ(orvTapeOpen(h, dir.path("fresh.tape").c_str(), false), 0);
    orvTapeDestroy(h);
    EXPECT_EQ(fileSize(dir.path("fresh.tape")), 30);
}
