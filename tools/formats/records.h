// records.h - the record stream that every interchange format reads and
// writes, so that a conversion is one reader feeding one writer.
#ifndef ORVTAPE_TOOL_RECORDS_H
#define ORVTAPE_TOOL_RECORDS_H

#include "bytes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvtool {

// Compression a block carried in its source, so that a writer able to
// store compressed blocks can keep it.
enum class Packing { Plain, Zlib, Bzip2 };

struct Record {
    enum Kind { Data, Tapemark, Gap, EndOfMedium } kind = Data;
    std::vector<char> data;  // Data only; owned by the reader, reused
    size_t length = 0;       // bytes of data in use
    bool readError = false;  // the source flagged the record as read badly
    Packing packing = Packing::Plain;
    bool scrambled = false;  // stored scrambled in the source image
    long long offset = 0;    // where the record starts in its source
};

class RecordReader {
public:
    virtual ~RecordReader() = default;
    // Fills r with the next record; false at the end of the source.
    // Throws ToolError when the source is malformed.
    virtual bool next(Record& r) = 0;
    // Bytes of the source consumed so far, for progress lines.
    virtual long long consumed() const = 0;
};

// What a format can hold beyond plain blocks and tapemarks; the converter
// reports whatever the target cannot carry instead of dropping it silently.
struct Carries {
    size_t maxBlock = SIZE_MAX;  // longest block
    bool gaps = false, readErrors = false, endOfMedium = false;
    bool compression = false, scrambling = false;
};

class RecordWriter {
public:
    virtual ~RecordWriter() = default;
    virtual Carries carries() const = 0;
    // Writes one record; throws ToolError when the format cannot hold it.
    virtual void put(const Record& r) = 0;
    // Completes the output; nothing is final before it returns.
    virtual void finish() = 0;
};

// The settings a format reader or writer may need.
struct FormatSettings {
    std::string name;                  // file name for messages
    size_t maxBlock = 64u << 20;       // longest block accepted when reading (--max-block)
    bool split = false;                // cut blocks too long for the format
    int chunk = 65535;                 // aws/het chunk payload
    std::string compress = "keep";     // het: keep, none, zlib or bzip2
    int level = 0;                     // 0: the method's default
};

// Format families: tap and e11, tpc, aws and het.
std::unique_ptr<RecordReader> makeReader(const std::string& format, InputBytes& in,
                                         const FormatSettings& s);
std::unique_ptr<RecordWriter> makeWriter(const std::string& format, OutputBytes& out,
                                         const FormatSettings& s);
// The formats import and export accept, for the command line.
const std::vector<std::string>& interchangeFormats();

// Names the format of a file from its record chain: one of the interchange
// formats, "orv" for an image with transforms, or "" when none fits; then
// considered, when given, says where each format stopped fitting.
std::string detectFormat(InputBytes& in, std::string* considered = nullptr);
// One line describing a format, for notes and hints.
std::string describeFormat(const std::string& format);
// For ls and check: a sentence naming the other format the file is in, or
// "" when it is not in a recognised interchange format.
std::string otherFormatHint(const std::string& path);

}  // namespace orvtool

#endif
