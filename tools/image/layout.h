// layout.h - where a damaged image's header chain resumes, judged by the
// library's chain rules, for recover.
#ifndef ORVTAPE_TOOL_IMAGE_LAYOUT_H
#define ORVTAPE_TOOL_IMAGE_LAYOUT_H

#include "image/volume.h"

namespace orvtool {

// The first offset at or after from where a block or tapemark begins whose
// headers chain on for a few headers (or up to the end of the file, between
// blocks); the volume's size when there is none.
long long resync(const Volume& volume, long long from);

}  // namespace orvtool

#endif
