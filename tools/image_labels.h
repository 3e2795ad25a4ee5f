// image_labels.h - the labelled layout read from an image: the walk over
// the image as a block source for the label scanner.
#ifndef ORVTAPE_TOOL_IMAGE_LABELS_H
#define ORVTAPE_TOOL_IMAGE_LABELS_H

#include "labels/dataset.h"

#include <ORVtape.h>

#include <string>

namespace orvtool {

class VolumeStream;

// Reads the volume from the load point through the streaming walk; throws
// ToolError when a block cannot be passed.  Only the blocks that may be
// labels are read; the others are passed over.
LabelledVolume readLabels(VolumeStream& volume);
// The same on a walk of its own over the image tape has mounted.
LabelledVolume readLabels(ORVtape& tape, const std::string& path);

}  // namespace orvtool

#endif
