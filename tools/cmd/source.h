// source.h - what a reading command (ls, check, get, dump) opens: the
// tool's own image, or another format's file read in place through that
// format's reader, so that nobody needs a converted copy to look into one.
#ifndef ORVTAPE_TOOL_CMD_SOURCE_H
#define ORVTAPE_TOOL_CMD_SOURCE_H

#include "base/block.h"
#include "base/common.h"
#include "base/io.h"
#include "formats/format.h"
#include "image/volume.h"
#include "image/walk.h"
#include "labels/dataset.h"

#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace orvtool {


// The one answer to "which kind is this file": the format --from names
// (when not ""), else none when the file reads as the tool's own (an aws
// file is one), else the format detected.  Null: the tool's own, whose
// reading refuses in its own words what is no image at all.
const Format* foreignFormat(const std::string& path, const std::string& from);

// For a command that works on images only: refuses a foreign file at path
// (status 2), saying why (what the command does) and the way out.
void refuseForeign(const std::string& path, const std::string& why);

// A foreign file and its reader, from its first byte.
class ForeignFile : public BlockSource {
public:
    ForeignFile(const std::string& path, const Format& format, const Common& run);
    // Every entry as the reader gives it: records of every class, tapemarks,
    // markers, gaps.  Throws FormatError where the file breaks its rules.
    bool next(Block& b) override { return reader_->next(b); }
    long long consumed() const override { return reader_->consumed(); }
    long long size() const { return in_.size(); }
    const Format& format() const { return format_; }

private:
    InputFile in_;
    const Format& format_;
    std::unique_ptr<BlockSource> reader_;
};

// Whether an import keeps b: tapemarks and records of tape data that hold
// bytes; private records, descriptions, markers and gaps mean nothing to an
// image.  A foreign file read through this rule gives what its import gives.
bool importKeeps(const Block& b);

// The blocks of a foreign file that an import keeps, in order.
class ImportedBlocks : public BlockSource {
public:
    explicit ImportedBlocks(BlockSource& raw) : raw_(raw) {}
    bool next(Block& b) override;
    long long consumed() const override { return raw_.consumed(); }

private:
    BlockSource& raw_;
};

// What a listing names an entry that is no good record or tapemark by:
// "bad", "private N", "description", "reserved N", "erase gap", "marker",
// "end of medium"; "" for the others.
std::string entryClass(const Block& b);

// Whether a foreign entry has a number: every one but gaps and the end of
// medium, which no reader counts, so that every command and report names
// an entry by the same number.
inline bool numbered(const Block& b) { return b.kind != Kind::Gap && b.kind != Kind::EndOfMedium; }

// Numbered entry k (from 0) of a source; throws naming path when it holds
// fewer.
void entryAt(BlockSource& source, long long k, Block& b, const std::string& path);

// Block k (from 0, tapemarks counted) of an image, decoded; the blocks
// before it only passed.  Throws naming path when it holds fewer.
void blockAt(BlockWalk& walk, long long k, Block& b, const std::string& path);

// The reading command's file: an image, or a foreign file.
struct Source {
    std::string path;
    const Format* format = nullptr;  // set for a foreign file
    std::unique_ptr<Volume> image;   // set for an image
    Common run;
    // A new reader of the foreign file, from its start.
    std::unique_ptr<ForeignFile> open() const { return std::make_unique<ForeignFile>(path, *format, run); }
    // After reading it as an image failed: whether the whole file is in
    // another format after all (an het file whose compressed blocks all come
    // past its first MiB reads as an image there), the source then that
    // foreign file.
    bool foreignAfterAll();
    // The blocks an import keeps, from the load point: an image's decoded
    // on the run's workers, a foreign file's through ImportedBlocks.
    std::unique_ptr<BlockSource> blocks() const;
    // The labels of the volume, none when it has none.
    LabelledVolume labels() const;
};

Source openSource(const std::string& path, const std::string& from, const Common& run);

// read(source), and once more when reading it as an image failed on a
// file that is in another format after all (see Source::foreignAfterAll).
template <class Read>
auto readingAgain(Source& source, Read read) -> decltype(read()) {
    try {
        return read();
    } catch (const ReadError&) {
        if (!source.foreignAfterAll()) throw;
    }
    return read();
}

// --from NAME, for every command that reads a volume.
void declareFrom(CLI::App& app, std::string& from);

}  // namespace orvtool

#endif
