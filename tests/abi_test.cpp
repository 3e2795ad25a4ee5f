// Hosts construct ORVtape and TapeInformation themselves (on the stack, as
// members, with new), so a build whose object size or member offsets moved
// would silently corrupt them.  The numbers follow from the declared member
// order and the x86-64 alignment rules; any change here is an ABI break, and
// the test program no longer builds.
#include "ORVtape.h"
#include "TapeInformation.h"
#include "orvTapeStream.h"

#include <cstddef>
#include <type_traits>

#define AT(type, member, off) static_assert(offsetof(type, member) == (off), #member " moved")

static_assert(std::is_standard_layout<ORVtape>::value && std::is_standard_layout<TapeInformation>::value, "layout");
static_assert(sizeof(ORVtape) == 152 && alignof(ORVtape) == 8, "ORVtape resized");
static_assert(std::is_same<decltype(ORVtape::curPos), long long>::value, "curPos retyped");
static_assert(std::is_same<decltype(ORVtape::maxTapeLen), unsigned long long>::value, "maxTapeLen retyped");
AT(ORVtape, hdrPos, 0); AT(ORVtape, eodPos, 8); AT(ORVtape, curPos, 16); AT(ORVtape, maxTapeLen, 24);
AT(ORVtape, bkwdBfr, 32); AT(ORVtape, cmpBfr, 56); AT(ORVtape, encBfr, 80); AT(ORVtape, fd, 104);
AT(ORVtape, blockID, 108); AT(ORVtape, fileNumber, 112); AT(ORVtape, curBlkLen, 116); AT(ORVtape, prevBlkLen, 120);
AT(ORVtape, maxRecordSize, 124); AT(ORVtape, maxSegLen, 128); AT(ORVtape, lastErrno, 132); AT(ORVtape, lastRC, 136);
AT(ORVtape, hdrFlags1, 140); AT(ORVtape, hdrFlags2, 141); AT(ORVtape, cmpLevel, 142); AT(ORVtape, bot, 143);
AT(ORVtape, eot, 144); AT(ORVtape, compressOn, 145); AT(ORVtape, encryptOn, 146); AT(ORVtape, newImage, 147);
AT(ORVtape, sync, 148); AT(ORVtape, tapemark, 149); AT(ORVtape, wrtProt, 150);

using Buffer = ORVtape::OrvTapeWorkBuffer;
static_assert(sizeof(Buffer) == 24, "work buffer resized");
AT(Buffer, raw, 0); AT(Buffer, aligned, 8); AT(Buffer, capacity, 16); AT(Buffer, dataLen, 20);

static_assert(sizeof(TapeInformation) == 48, "TapeInformation resized");
static_assert(std::is_same<decltype(TapeInformation::totalBytes), unsigned long long>::value, "totalBytes retyped");
AT(TapeInformation, fileBytes, 0); AT(TapeInformation, fileCount, 4); AT(TapeInformation, fileBlocks, 8);
AT(TapeInformation, fileMinBlk, 12); AT(TapeInformation, fileMaxBlk, 16); AT(TapeInformation, tapeMinBlk, 20);
AT(TapeInformation, tapeMaxBlk, 24); AT(TapeInformation, totalBytes, 32); AT(TapeInformation, showProgress, 40);
AT(TapeInformation, showReport, 41);

// The streaming classes hold one pointer to their state, so they can grow
// without moving anything a host compiled against.
static_assert(sizeof(ORVtapeReader) == 8 && sizeof(ORVtapeWriter) == 8 && sizeof(ORVtapeCodec) == 8, "stream object resized");
// The caller-sized structures only grow at their end.
static_assert(sizeof(orvTapeBlockInfo) == 80 && sizeof(orvTapeChainReport) == 48 && sizeof(orvTapeChainState) == 8, "resized");
AT(orvTapeBlockInfo, size, 0); AT(orvTapeBlockInfo, segments, 4); AT(orvTapeBlockInfo, offset, 8); AT(orvTapeBlockInfo, end, 16);
AT(orvTapeBlockInfo, blockNumber, 24); AT(orvTapeBlockInfo, fileNumber, 32); AT(orvTapeBlockInfo, length, 40);
AT(orvTapeBlockInfo, storedLength, 44); AT(orvTapeBlockInfo, storedValid, 48); AT(orvTapeBlockInfo, lastSegment, 52);
AT(orvTapeBlockInfo, stored, 56); AT(orvTapeBlockInfo, data, 64); AT(orvTapeBlockInfo, dataLength, 72);
AT(orvTapeBlockInfo, flags2, 76); AT(orvTapeBlockInfo, tapemark, 77); AT(orvTapeBlockInfo, headerCut, 78);
AT(orvTapeChainReport, driveCode, 4); AT(orvTapeChainReport, headers, 8); AT(orvTapeChainReport, lastHeaderOffset, 16);
AT(orvTapeChainReport, lastHeader, 24); AT(orvTapeChainReport, multiSegment, 30); AT(orvTapeChainReport, compressed, 31);
AT(orvTapeChainReport, lastCurLen, 32); AT(orvTapeChainReport, lastPrevLen, 36); AT(orvTapeChainReport, endsInBlock, 40);
AT(orvTapeChainState, prevLen, 0); AT(orvTapeChainState, blockFlags2, 4); AT(orvTapeChainState, inBlock, 5); AT(orvTapeChainState, resync, 6);
