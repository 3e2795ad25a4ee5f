// layout.h - where things are on a volume: where a damaged image's header
// chain resumes (for recover), where put appends, and the end a failed
// append puts back.
#ifndef ORVTAPE_TOOL_IMAGE_LAYOUT_H
#define ORVTAPE_TOOL_IMAGE_LAYOUT_H

#include "image/volume.h"
#include "image/walk.h"

#include <string>

namespace orvtool {

// The first offset at or after from where a block or tapemark begins whose
// headers chain on for a few headers (or up to the end of the file, between
// blocks); the volume's size when there is none.
long long resync(const Volume& volume, long long from);

// Where a forward walk over a volume ended.
struct VolumeEnd {
    int blocks = 0;          // blocks and tapemarks before the end of the data
    bool endsInTapemark = false;
    bool hasEndMark = false; // the last tapemark is the end-of-volume mark
};

// Where put appends to a volume: what the walk to its end found, and where
// the new blocks go, so that they chain as the drive's would after it
// stepped back over the end mark.
struct AppendPoint {
    VolumeEnd end;
    long long offset = 0;
    unsigned prevLen = 0;  // curLen of the segment before offset
};
AppendPoint findAppendPoint(BlockWalk& walk);

// A place where the volume may end: after its last complete file, with the
// tapemarks that close it there (two when the old last file was never closed).
struct VolumeCut {
    long long offset;
    unsigned prevLen, marks;
};

// Cuts the image open on fd at the cut's offset and writes its tapemarks
// there: the end of the volume put back after a failed append.  0, or the
// drive's code for the writer's failure, with errno set.
int endVolumeAt(int fd, const VolumeCut& cut);
// The bytes endVolumeAt writes for prevLen and marks, made ahead for a
// signal handler; empty when they cannot be made.
std::string volumeEnd(unsigned prevLen, unsigned marks);

}  // namespace orvtool

#endif
