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

#include <orvTapeStream.h>

#include <vector>

namespace orvtool {

// Where a forward walk over a volume ended.
struct VolumeEnd {
    int blocks = 0;          // blocks and tapemarks before the end of the data
    bool endsInTapemark = false;
    bool hasEndMark = false; // the last tapemark is the end-of-volume mark
};

// Reads the mounted volume from the load point to the end of its data.
// Throws ToolError (naming path) when a block cannot be read.
VolumeEnd walkToEnd(ORVtape& tape, const std::string& path);

// After reading a tapemark: is it the end-of-volume mark?  prevWasTapemark
// tells whether the block before it was a tapemark (true at the load point).
bool isEndMark(ORVtape& tape, bool prevWasTapemark);

// Passes over the next block without delivering it, as readBlk does, but
// also fails (-12, tape left at the block) when its last segment runs past
// the end of the file, which spacing alone does not notice.
int skipBlock(ORVtape& tape, long long size, int* length);

// Reads the next block into buf.  A block longer than buf (written by a
// host that raised its block limit) is read again after both the tape's
// limit and buf have grown to take it, so the result fits buf whenever it
// is not negative.
int readWhole(ORVtape& tape, std::vector<char>& buf);

// Error for a block that failed to read at offset with code.
ToolError readError(const std::string& path, const ORVtape& tape, long long offset, int code);
// The same for block number blockID, with the errno saved by the reader.
ToolError readError(const std::string& path, int blockID, int err, long long offset, int code);

// Opens the streaming reader on an image that mountForReading accepted.
void openReader(ORVtapeReader& reader, const std::string& path);

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
