// The tool's interchange format readers under libFuzzer.  Input: one byte
// that picks a format by its place in the table (past the table: detection
// picks), then the file's bytes, read from memory block by block to the end.
// A refusal (ToolError) is an expected outcome; a crash, a sanitizer report,
// a leak or runaway memory is a finding.
#include "formats/format.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define CHECK(c) ((c) ? void() : (std::fprintf(stderr, "oracle failure, line %d: %s\n", __LINE__, #c), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvtool;
    if (size == 0) return 0;
    const std::vector<Format>& table = formats();
    InputFile in("fuzz", data + 1, size - 1);
    FormatArgs args;
    args.maxBlock = 1u << 20;  // what a block may cost, so that memory stays bounded
    try {
        std::string name, considered;
        if (data[0] < table.size())
            name = table[data[0]].name;
        else if ((name = detectFormat(in, &considered)).empty())
            return CHECK(!considered.empty()), 0;
        auto source = findFormat(name).reader(in, args);
        volatile unsigned char seen = 0;
        for (Block b; source->next(b);) {
            CHECK(b.length <= args.maxBlock && source->consumed() <= in.size());
            // Every byte of a view is read, so one past its buffer is reported.
            for (size_t i = 0; b.kind == Kind::Data && i < b.length; ++i) seen = seen ^ b.data[i];
        }
    } catch (const ToolError&) {
    }
    return 0;
}
