// volume.h - how the tool lays tape files out on a volume.
//
// A tape file is its data blocks followed by a tapemark.  A volume is its
// files followed by one more tapemark, the end-of-volume mark, so it ends
// with two tapemarks in a row.  A final tapemark that directly follows
// another tapemark (or the load point) is that mark; every other tapemark
// closes a file, so empty files are kept wherever they stand.
#ifndef ORVTAPE_TOOL_VOLUME_H
#define ORVTAPE_TOOL_VOLUME_H

#include "orvtape.h"
#include "pipeline.h"

#include <orvTapeStream.h>

#include <vector>

namespace orvtool {

// Where a forward walk over a volume ended.
struct VolumeEnd {
    int blocks = 0;          // blocks and tapemarks before the end of the data
    bool endsInTapemark = false;
    bool hasEndMark = false; // the last tapemark is the end-of-volume mark
};

// After reading a tapemark: is it the end-of-volume mark?  prevWasTapemark
// tells whether the block before it was a tapemark (true at the load point).
bool isEndMark(ORVtape& tape, bool prevWasTapemark);

// Codes of the tool's own for blocks it refuses before the library reads them,
// below every result of the library's reader.
constexpr int kOverLimit = -100;        // the block claims more than --max-block
constexpr int kEmptyCompressed = -101;  // a compressed block whose prefix says 0

// Largest block that reading may take (--max-block): the record limit of a
// tape is raised only that far, and a longer block is never allocated.
extern unsigned long long maxBlockBytes;

// What the last failed read or skip found: the errno its failing call set
// (0 when none), the length a block refused with kOverLimit claims, and
// whether an image cut short ends inside a header rather than a payload.
struct ReadFailure {
    int err = 0;
    unsigned long long claim = 0;
    bool headerCut = false;
};
extern ReadFailure lastReadFailure;

// The drive's read code for a result of the streaming reader (the tool's
// own codes as they are): messages word and show the drive's codes, which
// the user meets also where the tool reads through the drive.
int driveReadCode(int result);

// Looks at the block at the current position through its headers, without
// moving the tape, and raises the tape's record limit so that its stored
// payload fits the work buffers.  Returns 0 when it may be read, kOverLimit
// when its stored bytes (or, with deliver, the length it will deliver)
// exceed --max-block, kEmptyCompressed for a compressed block claiming 0.
// Damage that the library reports itself is left for the read to find.
// delivers, when given, receives the length a transformed block will have.
int admitBlock(ORVtape& tape, bool deliver, unsigned long long* delivers = nullptr);

// Passes over the next block without delivering it, as readBlk does, but
// also fails (-12, tape left at the block) when its last segment runs past
// the end of the file, which spacing alone does not notice.
int skipBlock(ORVtape& tape, long long size, int* length);

// Passes count blocks with skipBlock, so that blocks longer than the default
// limit are passed too.  0 or the first failure.
int skipBlocks(ORVtape& tape, long long size, long long count);

// Reads the next block into buf, which grows to take it (never past
// --max-block), so the result fits buf whenever it is not negative.
int readWhole(ORVtape& tape, std::vector<char>& buf);

// Error for a block that the drive failed to read at offset with code.
ToolError readError(const std::string& path, const ORVtape& tape, long long offset, int code);
// The same for block number blockNumber, which the streaming reader refused
// with result (or the tool with a code of its own).
ToolError readError(const std::string& path, long long blockNumber, long long offset, int result);

// A forward walk over a mounted volume through the streaming reader, which
// judges every block as skipBlock (pass) or readWhole (decode) does on the
// drive: the same refusals beyond --max-block, the same record limit raised
// block by block; a failure leaves it at the block.
class VolumeStream {
public:
    // Opens the image that tape has mounted; throws ToolError naming path.
    VolumeStream(ORVtape& tape, const std::string& path);
    // The next block into b: its length, 0 for a tapemark, ORVTAPE_END, or a
    // failure (lastReadFailure set).  deliver: refuse a compressed block claiming
    // more than --max-block, as admitBlock does.
    int next(orvTapeBlockInfo& b, bool decode, bool deliver) {
        return read(b, decode ? ORVTAPE_READ_DECODE : ORVTAPE_READ_PASS, deliver);
    }
    // next(b, true, true) without the decoding: the same refusals, codes and
    // record limit, the length a transformed block will decode to, and its
    // stored payload at b.stored; only a payload that does not decode is
    // left for decodeWork to find.
    int nextStored(orvTapeBlockInfo& b) { return read(b, ORVTAPE_READ_STORED, true); }
    // nextStored as a pipeline producer: s.length is the block's length (0:
    // a tapemark), s.in holds its data, or for a transformed block its stored
    // payload with its flags2 in s.flags2; s.transform asks decodeWork for
    // it when decode is set.  False at the end of the data; a block that
    // cannot be read throws its read error, with advice appended.
    bool fill(Slot& s, bool decode, const char* advice = "");
    // nextStored for a walk that ends at the first failure: false at the end
    // of the data; a block that cannot be read throws its read error, with
    // advice appended.
    bool nextOrEnd(orvTapeBlockInfo& b, int& length, const char* advice = "");
    // next(b, false, false) for a walk that ends at the first failure: false
    // at the end of the data; a block that cannot be passed throws its read error.
    bool passOrEnd(orvTapeBlockInfo& b, int& length);
    // The data of data block b, which the walk has just met, read again and
    // decoded into out (as much of it as the record size takes): its length,
    // or a negative code when it does not read.
    // For the few blocks worth a look; the walk goes on after b either way.
    int reread(const orvTapeBlockInfo& b, std::vector<unsigned char>& out);
    // Throws the read error of a slot whose decodeWork failed.
    void checkDecoded(const Slot& s, const char* advice = "") const;
    // Offset after the last block read.
    long long position() const { return position_; }
    void rewind() {
        reader.rewind();
        position_ = 0;
    }
    // Goes on at offset, a block boundary found otherwise (recover's resync).
    void seek(long long offset) {
        reader.seek(offset, 0, 0);
        position_ = offset;
    }
    // The library's header chain walk (ORVtape::validate), on the same file.
    int validate(orvTapeChainReport& report) {
        report.size = sizeof report;
        return reader.validate(&report);
    }
    int lastErrno() const { return reader.lastErrno(); }

private:
    int read(orvTapeBlockInfo& b, orvTapeReadMode mode, bool deliver);
    int again(const orvTapeBlockInfo& b, int code);
    ToolError failure(long long number, long long offset, int code, const char* advice) const;
    ORVtapeReader reader;
    std::string path_;
    int fd;
    long long position_ = 0;
    int room;  // the record limit, raised as on the drive
};

// A block's data or stored payload into buf (grown, never shrunk): its
// length there.  flags2 receives the transforms it is stored with (0: plain).
unsigned storedForm(const orvTapeBlockInfo& b, int length, std::vector<unsigned char>& buf, unsigned char& flags2);
// Loads the block that the walk read (length, as next returned it) into s:
// its place, its length and its stored form.
void loadSlot(const orvTapeBlockInfo& b, int length, Slot& s);

// The work that decodes a slot filled by VolumeStream::fill: its data into
// out (outLength), or s.rc ORVTAPE_ERR_DECODE when the payload does not
// decode, as the walk's own decoding would say.
void decodeWork(Slot& s, ORVtapeCodec& codec);
// One block of a DecodedWalk, valid until its next call.
struct DecodedBlock {
    int length = 0;                      // 0: a tapemark
    const unsigned char* data = nullptr; // the block's data
    unsigned char flags2 = 0;            // the transforms it was stored with
    long long offset = 0;
};

// The blocks of a walk in order, decoded.  A plain block comes straight from
// the reader while nothing is being decoded; from a transformed block on, the
// pipeline reads ahead so that its workers decode in parallel, until it runs
// empty again.  Read errors surface in block order.
class DecodedWalk {
public:
    DecodedWalk(VolumeStream& volume, int jobs, int maxRecordSize);
    // The next block; false at the end of the data.
    bool next(DecodedBlock& b);

private:
    VolumeStream& volume_;
    Pipeline pipe_;
    std::function<bool(Slot&)> fill_;
    bool more_ = true;  // the walk has not reached the end of the data
};

// Layout of the block at the current position, read from its headers
// without moving the tape.  segments is 0 when no header can be read.
struct BlockLayout {
    long long offset = 0;
    unsigned long long stored = 0;  // payload bytes in the image
    int segments = 0;
    int xform = 0;                  // HF2_BZ2 / HF2_SCRAMBLE bits
    bool tapemark = false;
};
BlockLayout blockLayout(ORVtape& tape);
const char* transformName(int xform);

}  // namespace orvtool

#endif
