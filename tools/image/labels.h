// labels.h - the labelled layout read from an image: the walk over
// the image as a block source for the label scanner.
#ifndef ORVTAPE_TOOL_IMAGE_LABELS_H
#define ORVTAPE_TOOL_IMAGE_LABELS_H

#include "labels/dataset.h"

namespace orvtool {

class BlockWalk;
class Volume;

// Reads the volume from the load point through a passing walk; throws
// ToolError when a block cannot be passed.  Only the blocks that may be
// labels are read; the others are passed over.
LabelledVolume readLabels(BlockWalk& walk);
// The same on a walk of its own over the volume.
LabelledVolume readLabels(const Volume& volume);

}  // namespace orvtool

#endif
