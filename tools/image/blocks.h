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
// How the file's header chain reads by the image's rules in its first MiB
// (to its end, when that is seen): broken, holding with no block
// transformed so far (an aws file reads so), or holding with transforms
// (the tool's own image for sure).  Cheap: a large image is not walked.
enum class ImageChain { Broken, Plain, Transformed };
ImageChain imageChainAhead(Probe& in);

}  // namespace orvtool

#endif
