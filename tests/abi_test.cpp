// Hosts construct ORVtape and TapeInformation themselves (on the stack, as
// members, with new), so a build whose object size or member offsets moved
// would silently corrupt them.  The numbers follow from the declared member
// order and the x86-64 alignment rules; any change here is an ABI break.
#include "ORVtape.h"
#include "TapeInformation.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

static_assert(std::is_standard_layout<ORVtape>::value, "offsetof needs a standard-layout class");
static_assert(std::is_standard_layout<TapeInformation>::value, "offsetof needs a standard-layout class");
// Widths that hosts rely on when they read members directly.
static_assert(std::is_same<decltype(ORVtape::curPos), long long>::value, "curPos retyped");
static_assert(std::is_same<decltype(ORVtape::maxTapeLen), unsigned long long>::value, "maxTapeLen retyped");
static_assert(std::is_same<decltype(TapeInformation::totalBytes), unsigned long long>::value, "totalBytes retyped");

#define EXPECT_OFFSET(type, member, off) EXPECT_EQ(offsetof(type, member), std::size_t(off)) << #member

TEST(Abi, TapeObjectLayout) {
    EXPECT_EQ(sizeof(ORVtape), 152u);
    EXPECT_EQ(alignof(ORVtape), 8u);
    EXPECT_OFFSET(ORVtape, hdrPos, 0);
    EXPECT_OFFSET(ORVtape, eodPos, 8);
    EXPECT_OFFSET(ORVtape, curPos, 16);
    EXPECT_OFFSET(ORVtape, maxTapeLen, 24);
    EXPECT_OFFSET(ORVtape, bkwdBfr, 32);
    EXPECT_OFFSET(ORVtape, cmpBfr, 56);
    EXPECT_OFFSET(ORVtape, encBfr, 80);
    EXPECT_OFFSET(ORVtape, fd, 104);
    EXPECT_OFFSET(ORVtape, blockID, 108);
    EXPECT_OFFSET(ORVtape, fileNumber, 112);
    EXPECT_OFFSET(ORVtape, curBlkLen, 116);
    EXPECT_OFFSET(ORVtape, prevBlkLen, 120);
    EXPECT_OFFSET(ORVtape, maxRecordSize, 124);
    EXPECT_OFFSET(ORVtape, maxSegLen, 128);
    EXPECT_OFFSET(ORVtape, lastErrno, 132);
    EXPECT_OFFSET(ORVtape, lastRC, 136);
    EXPECT_OFFSET(ORVtape, hdrFlags1, 140);
    EXPECT_OFFSET(ORVtape, hdrFlags2, 141);
    EXPECT_OFFSET(ORVtape, cmpLevel, 142);
    EXPECT_OFFSET(ORVtape, bot, 143);
    EXPECT_OFFSET(ORVtape, eot, 144);
    EXPECT_OFFSET(ORVtape, compressOn, 145);
    EXPECT_OFFSET(ORVtape, encryptOn, 146);
    EXPECT_OFFSET(ORVtape, newImage, 147);
    EXPECT_OFFSET(ORVtape, sync, 148);
    EXPECT_OFFSET(ORVtape, tapemark, 149);
    EXPECT_OFFSET(ORVtape, wrtProt, 150);

    using Buffer = ORVtape::OrvTapeWorkBuffer;
    EXPECT_EQ(sizeof(Buffer), 24u);
    EXPECT_OFFSET(Buffer, raw, 0);
    EXPECT_OFFSET(Buffer, aligned, 8);
    EXPECT_OFFSET(Buffer, capacity, 16);
    EXPECT_OFFSET(Buffer, dataLen, 20);
}

TEST(Abi, ReportLayout) {
    EXPECT_EQ(sizeof(TapeInformation), 48u);
    EXPECT_OFFSET(TapeInformation, fileBytes, 0);
    EXPECT_OFFSET(TapeInformation, fileCount, 4);
    EXPECT_OFFSET(TapeInformation, fileBlocks, 8);
    EXPECT_OFFSET(TapeInformation, fileMinBlk, 12);
    EXPECT_OFFSET(TapeInformation, fileMaxBlk, 16);
    EXPECT_OFFSET(TapeInformation, tapeMinBlk, 20);
    EXPECT_OFFSET(TapeInformation, tapeMaxBlk, 24);
    EXPECT_OFFSET(TapeInformation, totalBytes, 32);
    EXPECT_OFFSET(TapeInformation, showProgress, 40);
    EXPECT_OFFSET(TapeInformation, showReport, 41);
}
