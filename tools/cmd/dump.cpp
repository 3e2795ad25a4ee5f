// dump.cpp - orvtape dump: one block as hex and text.
#include "cmd/command.h"
#include "image/walk.h"
#include "labels/codepage.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace orvtool {

// dump IMAGE BLOCK [--ebcdic]
struct DumpArgs : Common {
    std::string image;
    long long blockNo = -1;
    bool ebcdic = false;  // the text column in EBCDIC
};

int cmdDump(const DumpArgs& o) {
    const Volume volume = Volume::forReading(o.image, Limits{o.maxBlock, o.wait});
    if (o.blockNo < 0 || o.blockNo > 0x7FFFFFFF)
        throw ToolError("", "the block number must be 0 to 2147483647", kExitUsage);
    const long long target = o.blockNo;
    BlockWalk walk(volume, ReadMode::Pass);
    Block b;
    for (long long passed = 0;; ++passed) {
        if (passed == target) walk.setMode(ReadMode::Decoded);
        if (walk.step(b) == Step::EndOfData)
            throw ToolError(o.image, "has no block " + std::to_string(target) + " (it holds " +
                                         std::to_string(passed) + ")");
        if (passed == target) break;
    }
    if (b.kind == Kind::Mark) {
        std::printf("block %lld  offset %lld  tapemark\n", target, b.offset);
        return kExitOk;
    }
    const orvTapeBlockInfo& lay = walk.info();
    const int rc = static_cast<int>(b.length);
    std::printf("block %lld  offset %lld  length %d  stored %u  segments %u  %s\n", target, b.offset, rc,
                lay.storedLength, lay.segments, transformName(lay.flags2));
    size_t n = static_cast<size_t>(rc);
    const unsigned char* p = b.data;
    for (size_t row = 0; row < n; row += 16) {
        char line[100];
        int w = std::snprintf(line, sizeof line, "%08zx ", row);
        for (size_t i = row; i < row + 16; ++i) {
            if (i % 8 == 0) line[w++] = ' ';
            w += i < n ? std::snprintf(line + w, sizeof line - w, "%02x ", p[i])
                       : std::snprintf(line + w, sizeof line - w, "   ");
        }
        line[w++] = ' ';
        line[w++] = '|';
        for (size_t i = row; i < row + 16 && i < n; ++i) {
            unsigned char c = o.ebcdic ? ebcdicToLatin1(p[i]) : p[i];
            line[w++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        line[w++] = '|';
        line[w] = 0;
        std::puts(line);
    }
    return kExitOk;
}

namespace {
Runner declareDump(CLI::App& c) {
    auto a = std::make_shared<DumpArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_option("BLOCK", a->blockNo, "block number (tapemarks count), 0 for the first")->required();
    c.add_flag("--ebcdic", a->ebcdic, "show the text column in EBCDIC (code page 037)");
    return runWith(a, cmdDump);
}
}  // namespace
extern const Command dumpCommand{"dump", "show one block as hex and text", declareDump};

}  // namespace orvtool
