// families.h - the reader and writer of each format family, behind
// makeReader and makeWriter.
#ifndef ORVTAPE_TOOL_FAMILIES_H
#define ORVTAPE_TOOL_FAMILIES_H

#include "records.h"

#include "../orvtape.h"

namespace orvtool {

std::unique_ptr<RecordReader> makeTapReader(InputBytes& in, const FormatSettings& s, bool pad);
std::unique_ptr<RecordWriter> makeTapWriter(OutputBytes& out, bool pad);
std::unique_ptr<RecordReader> makeTpcReader(InputBytes& in, const FormatSettings& s);
std::unique_ptr<RecordWriter> makeTpcWriter(OutputBytes& out);
std::unique_ptr<RecordReader> makeAwsReader(InputBytes& in, const FormatSettings& s);
std::unique_ptr<RecordWriter> makeAwsWriter(OutputBytes& out, const FormatSettings& s, bool het);
// An orvtape image mounted through the library; path names it in messages,
// jobs workers decode its blocks.
std::unique_ptr<RecordReader> makeImageReader(const class Volume& volume, int jobs);
// An image written through out, blocks encoded on -j workers.
std::unique_ptr<RecordWriter> makeImageWriter(class ImageOut& out, const Options& o);

}  // namespace orvtool

#endif
