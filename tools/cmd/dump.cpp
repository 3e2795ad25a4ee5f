// dump.cpp - orvtape dump: one block as hex and text.
#include "cmd/command.h"
#include "cmd/source.h"
#include "image/walk.h"
#include "labels/codepage.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace orvtool {

// dump IMAGE BLOCK [--ebcdic]
struct DumpArgs : Common {
    std::string image, from;
    long long blockNo = -1;
    bool ebcdic = false;  // the text column in EBCDIC
};

namespace {

// n bytes as rows of 16 in hex and text.
void hexRows(const unsigned char* p, size_t n, bool ebcdic) {
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
            unsigned char c = ebcdic ? ebcdicToLatin1(p[i]) : p[i];
            line[w++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        line[w++] = '|';
        line[w] = 0;
        std::puts(line);
    }
}

// Entry K of a foreign file, as ls --blocks numbers its entries.
int dumpForeign(const Source& source, const DumpArgs& o) {
    const auto file = source.open();  // holds the bytes b shows
    Block b;
    entryAt(*file, o.blockNo, b, o.image);
    const std::string cls = entryClass(b);
    if (b.kind == Kind::Mark) {
        std::printf("block %lld  offset %lld  tapemark\n", o.blockNo, b.offset);
    } else if (b.kind == Kind::Marker) {
        std::printf("block %lld  offset %lld  marker %u\n", o.blockNo, b.offset, b.value);
    } else if (b.kind != Kind::Data) {
        std::printf("block %lld  offset %lld  %s\n", o.blockNo, b.offset, cls.c_str());
    } else {
        std::printf("block %lld  offset %lld  length %zu%s%s\n", o.blockNo, b.offset, b.length,
                    cls.empty() ? "" : "  class ", cls.c_str());
        hexRows(b.data, b.length, o.ebcdic);
    }
    return kExitOk;
}

}  // namespace

namespace {

int dumpImage(const Volume& volume, const DumpArgs& o) {
    BlockWalk walk(volume, ReadMode::Pass);
    Block b;
    blockAt(walk, o.blockNo, b, o.image);
    if (b.kind == Kind::Mark) {
        std::printf("block %lld  offset %lld  tapemark\n", o.blockNo, b.offset);
        return kExitOk;
    }
    std::printf("block %lld  offset %lld  length %zu  %s\n", o.blockNo, b.offset, b.length,
                walk.storedForm().c_str());
    hexRows(b.data, b.length, o.ebcdic);
    return kExitOk;
}

}  // namespace

int cmdDump(const DumpArgs& o) {
    Source source = openSource(o.image, o.from, o);
    if (o.blockNo < 0 || o.blockNo > 0x7FFFFFFF)
        throw ToolError("", "the block number must be 0 to 2147483647", kExitUsage);
    if (source.image) {
        try {
            return dumpImage(*source.image, o);
        } catch (const ReadError&) {
            if (!source.foreignAfterAll()) throw;  // else it is no damaged image but another format's file
        }
    }
    return dumpForeign(source, o);
}

namespace {
Runner declareDump(CLI::App& c) {
    auto a = std::make_shared<DumpArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_option("BLOCK", a->blockNo, "block number (tapemarks count), 0 for the first")->required();
    c.add_flag("--ebcdic", a->ebcdic, "show the text column in EBCDIC (code page 037)");
    declareFrom(c, a->from);
    return runWith(a, cmdDump);
}
}  // namespace
extern const Command dumpCommand{"dump", "show one block as hex and text", declareDump};

}  // namespace orvtool
