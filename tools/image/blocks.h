// blocks.h - an orvtape image as a block source, so that export pumps
// from it into another format, and detection's bid for an image.
#ifndef ORVTAPE_TOOL_IMAGE_BLOCKS_H
#define ORVTAPE_TOOL_IMAGE_BLOCKS_H

#include "base/block.h"
#include "base/common.h"
#include "base/error.h"
#include "base/io.h"

#include <memory>

namespace orvtool {

// The blocks of an open image, decoded on jobs workers.
std::unique_ptr<BlockSource> imageSource(const class Volume& volume, int jobs, const Common& run);
// Detection's bid for an image (a Bidder), judged after the formats: it bids
// when none of them did, the file's header chain holds by the library's
// rules and some block has transforms (one without any is an aws file).
int imageBid(Probe& in, int best, std::string* misfit);
// Whether the file reads as the tool's own (an image, or an aws file, which
// is one without transforms): its header chain holds by the image's rules
// through the first MiB, and to its end when that comes first.  Cheap: a
// large image is not walked.
bool chainHoldsAhead(Probe& in);

}  // namespace orvtool

#endif
