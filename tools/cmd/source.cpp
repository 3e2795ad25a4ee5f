// source.cpp - opening what a reading command reads, and the rules by which
// a foreign file is seen as its import would be.
#include "cmd/source.h"

#include "image/blocks.h"
#include "image/labels.h"
#include "image/walk.h"

#include <CLI/CLI.hpp>

namespace orvtool {

const Format* foreignFormat(const std::string& path, const std::string& from) {
    if (!from.empty()) return &findFormat(from);
    if (path == "-") return nullptr;  // standard input can be judged only by reading it away
    try {
        InputFile in(path);
        Probe probe(in);
        // Judged by the first MiB only, as a walk of a large image costs more
        // than listing it: see Source::foreignAfterAll for the rest.
        if (chainHoldsAhead(probe)) return nullptr;
        const std::string name = detectFormat(in);
        // As import does, a file no format fits (one cut short) is read as
        // its extension says, so that its reader says what is wrong.
        const Format* f = name.empty() ? formatOfExtension(path) : &findFormat(name);
        // An aws file is an image without transforms: read as one.
        return f && std::string(f->name) != "aws" ? f : nullptr;
    } catch (const ToolError&) {
        return nullptr;  // the image's opening says what is wrong with the file
    }
}

void refuseForeign(const std::string& path, const std::string& why) {
    if (const Format* f = foreignFormat(path, ""))
        throw ToolError(path, std::string("is a ") + f->title + " file; " + why + "; convert it with 'orvtape import " +
                                  path + " NEW.tape'", kExitUsage);
}

namespace {

FormatArgs readingArgs(const Common& run) {
    FormatArgs a;
    a.maxBlock = static_cast<std::size_t>(run.maxBlock);
    return a;
}

}  // namespace

ForeignFile::ForeignFile(const std::string& path, const Format& format, const Common& run)
    : in_(path), format_(format), reader_(format.reader(in_, readingArgs(run))) {}

bool importKeeps(const Block& b) {
    if (b.kind == Kind::Mark) return true;
    if (b.kind != Kind::Data || b.length == 0) return false;  // an empty record is a flagged one
    return record_class::tapeData(b.recordClass);
}

bool ImportedBlocks::next(Block& b) {
    while (raw_.next(b))
        if (importKeeps(b)) return true;
    return false;
}

std::string entryClass(const Block& b) {
    namespace rc = record_class;
    switch (b.kind) {
    case Kind::Mark: return "";
    case Kind::Gap: return "erase gap";
    case Kind::EndOfMedium: return "end of medium";
    case Kind::Marker: return "marker";
    case Kind::Data: break;
    }
    const unsigned c = b.recordClass;
    if (c == rc::kGood) return b.readError ? "bad" : "";
    if (c == rc::kBad) return "bad";
    if (c == rc::kDescription) return "description";
    return (c >= rc::kPrivateFirst && c <= rc::kPrivateLast ? "private " : "reserved ") + std::to_string(c);
}

namespace {

[[noreturn]] void noBlock(const std::string& path, long long k, long long held) {
    throw ToolError(path, "has no block " + std::to_string(k) + " (it holds " + std::to_string(held) + ")");
}

}  // namespace

void entryAt(BlockSource& source, long long k, Block& b, const std::string& path) {
    for (long long passed = 0;;) {
        if (!source.next(b)) noBlock(path, k, passed);
        if (numbered(b) && passed++ == k) return;
    }
}

void blockAt(BlockWalk& walk, long long k, Block& b, const std::string& path) {
    walk.setMode(ReadMode::Pass);
    for (long long passed = 0;; ++passed) {
        if (passed == k) walk.setMode(ReadMode::Decoded);
        if (walk.step(b) == Step::EndOfData) noBlock(path, k, passed);
        if (passed == k) return;
    }
}

Source openSource(const std::string& path, const std::string& from, const Common& run) {
    Source s;
    s.path = path;
    s.run = run;
    s.format = foreignFormat(path, from);
    if (!s.format) s.image = std::make_unique<Volume>(Volume::forReading(path, Limits{run.maxBlock, run.wait}));
    return s;
}

bool Source::foreignAfterAll() {
    if (format || path == "-") return false;
    try {
        InputFile in(path);
        const ExtraBid ours{"orv", imageBid};
        const std::string name = detectFormat(in, nullptr, &ours);
        if (name.empty() || name == "aws" || name == "orv") return false;
        format = &findFormat(name);
    } catch (const ToolError&) {
        return false;  // what reading it as an image met stands
    }
    image.reset();
    return true;
}

void declareFrom(CLI::App& app, std::string& from) {
    app.add_option("--from", from, "read IMAGE as " + listFormats() + " (default: an orvtape image, else detected)")
        ->check(CLI::IsMember(formatNames()));
}

namespace {

// A foreign file's kept blocks, owning the reader they come from.
class KeptBlocks : public BlockSource {
public:
    explicit KeptBlocks(std::unique_ptr<ForeignFile> file) : file_(std::move(file)), kept_(*file_) {}
    bool next(Block& b) override { return kept_.next(b); }
    long long consumed() const override { return kept_.consumed(); }

private:
    std::unique_ptr<ForeignFile> file_;
    ImportedBlocks kept_;
};

}  // namespace

std::unique_ptr<BlockSource> Source::blocks() const {
    if (image) return imageSource(*image, run.jobs, run);
    return std::make_unique<KeptBlocks>(open());
}

LabelledVolume Source::labels() const {
    if (image) return readLabels(*image);
    KeptBlocks kept(open());
    return readLabels(kept);
}

}  // namespace orvtool
