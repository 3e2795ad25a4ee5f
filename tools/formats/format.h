// format.h - another emulator's tape file format, as one descriptor: its
// name, how sure it is that a file is one of its own, and its reader and
// writer.  registry.cpp holds the table of them; a new format is one file
// and one row there.  Includes base/ only.
#ifndef ORVTAPE_TOOL_FORMATS_FORMAT_H
#define ORVTAPE_TOOL_FORMATS_FORMAT_H

#include "../base/block.h"
#include "../base/io.h"

#include <memory>
#include <string>
#include <vector>

namespace orvtool {

// What a reader or writer is given; a format reads only the settings it
// lists in its accepts.
struct FormatArgs {
    std::size_t maxBlock = 64u << 20;  // longest block accepted when reading (--max-block)
    int chunk = 65535;                 // "chunk": largest chunk payload
    std::string compress = "keep";     // "compress": keep, none, zlib or bzip2
    int level = 0;                     // "level": 1-9, 0 for the method's default
    // Reading starts at a block inside the file, apart from the one before
    // it: what that one left (a chunk's length) is not checked.
    bool alone = false;
};

struct Format {
    const char* name;
    const char* title;        // the name users know it by, for listings and notes
    const char* description;  // one line, for notes and hints
    Bidder bid;
    std::unique_ptr<BlockSource> (*reader)(InputFile& in, const FormatArgs& args);
    std::unique_ptr<BlockSink> (*writer)(OutputFile& out, const FormatArgs& args);
    std::vector<std::string> accepts;  // settings beyond maxBlock: "chunk", "compress", "level"
};

// The formats, in the order help texts list them and detection judges them.
const std::vector<Format>& formats();
// The format of that name; throws ToolError (usage) when there is none.
const Format& findFormat(const std::string& name);
// The format a file name's extension names (".<format>", in any case), or
// null when it names none.
const Format* formatOfExtension(const std::string& path);
// The format to write path in: the one named (when not ""), else the one
// its extension names; throws ToolError (usage) when neither names one.
const Format& outputFormat(const std::string& name, const std::string& path);
// The names of the formats, for the command line.
std::vector<std::string> formatNames();
// "a, b or c": the formats that accept setting (all when empty), joined
// with last between the final two.
std::string listFormats(const std::string& setting = "", const char* last = " or ");
// ".a, .b or .c": the extensions that name a format.
std::string listExtensions();

// A file that breaks its format's rules: where, and why, kept apart so that
// check can report them as a defect of the file.
class FormatError : public ToolError {
public:
    FormatError(const InputFile& in, long long at, const std::string& why)
        : ToolError(in.errorAt(at, why)), offset(at), reason(why) {}
    long long offset;
    std::string reason;
};

// What every format's reader holds: its input, the --max-block limit, the
// buffer its records are read into (handed out as views) and the count of
// blocks; and its refusals, which name the input and the offset at fault.
class FormatReader : public BlockSource {
public:
    FormatReader(InputFile& in, const FormatArgs& args) : in_(in), maxBlock_(args.maxBlock) {}
    long long consumed() const override { return in_.offset(); }

protected:
    FormatError bad(long long offset, const std::string& what) const { return FormatError(in_, offset, what); }

    InputFile& in_;
    std::size_t maxBlock_;
    long long number_ = 0;
    std::vector<unsigned char> data_;
};

// A bidder from outside the table (the tool's own image format).
struct ExtraBid {
    const char* name;
    Bidder bid;
};

// The name of the best bidder for in (extra included when given), or ""
// when none bids; considered then says where each stopped fitting.
std::string detectFormat(InputFile& in, std::string* considered = nullptr,
                         const ExtraBid* extra = nullptr);

// The refusal of a block longer than --max-block lets through.
std::string longerThanLimit(std::size_t length, std::size_t limit);

}  // namespace orvtool

#endif
