// zcodec.h - whole-block zlib and bzip2 compression for the het format.
#ifndef ORVTAPE_TOOL_FORMATS_ZCODEC_H
#define ORVTAPE_TOOL_FORMATS_ZCODEC_H

#include "../base/block.h"

#include <string>
#include <vector>

namespace orvtool {

// Compresses n bytes into out with method at level (1-9, 0 for the
// method's default).  Returns false when the result would not be shorter
// than the data, which is then stored as it is.
bool compressBlock(Packing method, int level, const unsigned char* data, size_t n, std::vector<unsigned char>& out);

// Expands a compressed block into out, growing it as output appears but
// never beyond limit bytes.  Returns "" on success, else what went wrong.
std::string expandBlock(Packing method, const unsigned char* data, size_t n, size_t limit,
                        std::vector<unsigned char>& out, size_t* length);

}  // namespace orvtool

#endif
