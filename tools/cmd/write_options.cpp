// write_options.cpp - the options of the commands that write images.
#include "cmd/write_options.h"

#include "base/error.h"

#include <CLI/CLI.hpp>

namespace orvtool {

void declareWriteOptions(CLI::App& c, WriteSettings& w, bool copyFlags) {
    c.add_flag("--compress", w.compress, "store blocks bzip2-compressed when that is shorter");
    c.add_flag("--scramble", w.scramble, "store blocks scrambled");
    if (copyFlags) {
        c.add_flag("--no-compress", w.noCompress, "store every block uncompressed");
        c.add_flag("--no-scramble", w.noScramble, "store every block unscrambled");
    }
    c.add_option("--segment-size", w.segmentSize, "largest segment payload in bytes")->check(CLI::Range(16, 65535));
    c.add_option("--capacity", w.capacity, "tape capacity: warn when writing reaches it (suffixes K, M, G)")
        ->transform(CLI::AsSizeValue(false));
    c.add_flag("--sync", w.sync, "flush the image to the device before the command ends");
}

void checkWriteSettings(const WriteSettings& w) {
    if (w.compress && w.noCompress) throw ToolError("", "--compress and --no-compress exclude each other", kExitUsage);
    if (w.scramble && w.noScramble) throw ToolError("", "--scramble and --no-scramble exclude each other", kExitUsage);
}

}  // namespace orvtool
