// registry.cpp - format names to readers, writers and descriptions.
#include "families.h"

#include "../orvtape.h"

namespace orvtool {

const std::vector<std::string>& interchangeFormats() {
    static const std::vector<std::string> names{"tap", "e11", "tpc", "aws", "het"};
    return names;
}

std::unique_ptr<RecordReader> makeReader(const std::string& format, InputBytes& in,
                                         const FormatSettings& s) {
    if (format == "tap" || format == "e11") return makeTapReader(in, s, format == "tap");
    if (format == "tpc") return makeTpcReader(in, s);
    if (format == "aws" || format == "het") return makeAwsReader(in, s);
    throw ToolError("", "no reader for the format '" + format + "'", kExitUsage);
}

std::unique_ptr<RecordWriter> makeWriter(const std::string& format, OutputBytes& out,
                                         const FormatSettings& s) {
    if (format == "tap" || format == "e11") return makeTapWriter(out, format == "tap");
    if (format == "tpc") return makeTpcWriter(out);
    if (format == "aws" || format == "het") return makeAwsWriter(out, s, format == "het");
    throw ToolError("", "no writer for the format '" + format + "'", kExitUsage);
}

std::string describeFormat(const std::string& format) {
    if (format == "tap") return "4-byte length words around each record, odd lengths padded";
    if (format == "e11") return "4-byte length words around each record, no padding";
    if (format == "tpc") return "a 2-byte length word before each record";
    if (format == "aws") return "6-byte chunk headers, no compression";
    if (format == "het") return "6-byte chunk headers with zlib or bzip2 compressed blocks";
    if (format == "orv") return "an orvtape image with transforms";
    return "unknown";
}

}  // namespace orvtool
