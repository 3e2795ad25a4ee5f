// convert.cpp - orvtape import and export: a format's reader pumped into
// an image, or an image pumped into a format's writer.  Whatever the target
// cannot hold is reported with its count and positions, never dropped
// silently, and the output appears under its name only once complete.
#include "base/losses.h"
#include "base/progress.h"
#include "base/pump.h"
#include "formats/format.h"
#include "image/blocks.h"
#include "base/console.h"
#include "base/files.h"
#include "image/sink.h"
#include "image/volume.h"
#include "cmd/command.h"
#include "cmd/convert.h"
#include "cmd/source.h"
#include "cmd/write_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <unistd.h>

namespace orvtool {

namespace {

FormatArgs argsFrom(const ConvertArgs& o) {
    FormatArgs a;
    a.maxBlock = static_cast<std::size_t>(o.maxBlock);
    a.chunk = o.chunk;
    a.compress = o.method;
    a.level = o.level;
    return a;
}

// Refuses the format-specific options the format does not take.
void refuseForeignSettings(const ConvertArgs& o, const Format& f) {
    auto takes = [&](const char* s) { return std::find(f.accepts.begin(), f.accepts.end(), s) != f.accepts.end(); };
    if ((o.method != "keep" || o.level) && !(takes("compress") && takes("level")))
        throw ToolError("", "--compress and --level apply to " + listFormats("compress", " and ") + " only",
                        kExitUsage);
    if (o.chunk != 65535 && !takes("chunk"))
        throw ToolError("", "--chunk applies to " + listFormats("chunk", " and ") + " only", kExitUsage);
}

// The format of in: the one --from names, else the one detected, else the
// one its extension names, whose reader then says what does not fit.
const Format& sourceFormat(const ConvertArgs& o, InputFile& in) {
    if (!o.from.empty()) return findFormat(o.from);
    std::string considered;
    const ExtraBid image{"orv", imageBid};
    const std::string name = detectFormat(in, &considered, &image);
    if (name == "orv")
        throw ToolError(in.name(), "is already an orvtape image; 'orvtape copy' copies it", kExitUsage);
    if (name.empty()) {
        const Format* named = formatOfExtension(o.source);
        if (!named)
            throw ToolError(in.name(), "is in no format import recognises (" + considered + "); name it with --from",
                            kExitUsage);
        note(o, "%s: no format detected; read as %s, as its extension says", in.name().c_str(), named->title);
        return *named;
    }
    const Format& f = findFormat(name);
    note(o, "%s: %s format detected (%s); --from overrides", in.name().c_str(), f.title, f.description);
    return f;
}

}  // namespace

int cmdImport(const ConvertArgs& o) {
    checkWriteSettings(o);
    InputFile in(o.source);
    refuseSameFile(o.source, STDIN_FILENO, o.target, STDOUT_FILENO);
    const Format& format = sourceFormat(o, in);
    ImageLock lock(o.wait);
    if (o.target != "-") lock.claim(o.target);
    refuseToReplace(o.target, o.force, false);
    NewFile out(o.target, false, o.force, &lock);
    ImageSink image(out.fd(), o.target, o);
    image.onWritten([&](const Block&) {
        if (o.capacity) image.warnAtCapacity("importing block " + std::to_string(image.blocks() - 1));
    });
    ParallelEncode sink(image, o, o.jobs, o);
    auto source = format.reader(in, argsFrom(o));
    Progress progress("import", static_cast<unsigned long long>(std::max(0LL, in.size())), o.quiet);
    const Tally t = pump(*source, sink, progress, {in.name(), "an orvtape image", o.split});
    out.commit();
    reportLosses(o, in.name(), "an orvtape image", t);
    note(o, "%s: %lld records and %lld tapemarks imported", o.target.c_str(), t.blocks, t.marks);
    return kExitOk;
}

namespace {

// source pumped into format's writer at o.target, named when complete;
// what (export, copy) names the work in the progress line, done in the note.
int writeForeign(BlockSource& source, const Format& format, const ConvertArgs& o, const std::string& from,
                 long long size, const char* what, const char* done) {
    NewFile out(o.target, true, o.force);
    OutputFile bytes(out.fd(), o.target == "-" ? "standard output" : o.target);
    auto sink = format.writer(bytes, argsFrom(o));
    Progress progress(what, static_cast<unsigned long long>(std::max(0LL, size)), o.quiet);
    const Tally t = pump(source, *sink, progress, {from, format.title, o.split});
    out.commit();
    reportLosses(o, from, format.title, t);
    note(o, "%s: %lld records and %lld tapemarks %s", o.target.c_str(), t.blocks, t.marks, done);
    return kExitOk;
}

// One foreign file into another, record by record: what both formats
// hold (tap's record classes, tap to tap) passes as it was.
int cmdTranscode(const ConvertArgs& o) {
    const Format& format = outputFormat(o.to, o.target);
    refuseForeignSettings(o, format);
    InputFile in(o.source);
    refuseSameFile(o.source, STDIN_FILENO, o.target, STDOUT_FILENO);
    auto source = sourceFormat(o, in).reader(in, argsFrom(o));
    refuseToReplace(o.target, o.force, true);
    return writeForeign(*source, format, o, in.name(), in.size(), "copy", "copied");
}

// A source not in our image format, judged as the reading commands judge
// it: by the first MiB, since a whole walk costs a card copy a sixth more.
bool foreignSource(const ConvertArgs& o) {
    return !o.from.empty() || foreignFormat(o.source, "") != nullptr;
}

}  // namespace

int cmdExport(const ConvertArgs& o) {
    const Format& format = outputFormat(o.to, o.target);
    refuseForeignSettings(o, format);
    const Volume volume = Volume::forReading(o.source, Limits{o.maxBlock, o.wait});
    refuseSameFile(o.source, STDIN_FILENO, o.target, STDOUT_FILENO);
    refuseToReplace(o.target, o.force, true);
    auto source = imageSource(volume, o.jobs, o);
    return writeForeign(*source, format, o, o.source, volume.size(), "export", "exported");
}

int copyAcross(const ConvertArgs& o) {
    const bool toForeign = !o.to.empty() || formatOfExtension(o.target);
    const bool fromForeign = foreignSource(o);
    if (!toForeign) return fromForeign ? cmdImport(o) : -1;
    if (o.compress || o.noCompress || o.scramble || o.noScramble || o.segmentSize || o.capacity || o.sync)
        throw ToolError("", "--compress, --scramble, --segment-size, --capacity and --sync apply to an image; " +
                                o.target + " is written as " + outputFormat(o.to, o.target).name, kExitUsage);
    return fromForeign ? cmdTranscode(o) : cmdExport(o);
}

namespace {
Runner declareExport(CLI::App& c) {
    auto a = std::make_shared<ConvertArgs>();
    c.add_option("IMAGE", a->source, "the image file")->required();
    c.add_option("OUT", a->target, "the new file; - for standard output")->required();
    c.add_option("--to", a->to, listFormats() + " (default: named by OUT's extension)")->check(CLI::IsMember(formatNames()));
    c.add_option("--compress", a->method,
                 listFormats("compress", ", ") + ": zlib or bzip2 for every block, none, or keep (default: compressed "
                                                  "blocks go out bzip2, the others plain)")
        ->check(CLI::IsMember({"keep", "none", "zlib", "bzip2"}));
    c.add_option("--level", a->level, listFormats("level", ", ") + ": compression level 1-9")->check(CLI::Range(1, 9));
    c.add_option("--chunk", a->chunk, listFormats("chunk", ", ") + ": largest chunk payload (default 65535)")
        ->check(CLI::Range(16, 65535));
    c.add_flag("--split", a->split, "cut blocks longer than the format takes into several instead of refusing");
    c.add_flag("-f,--force", a->force, "replace a non-empty OUT");
    return runWith(a, cmdExport);
}

Runner declareImport(CLI::App& c) {
    auto a = std::make_shared<ConvertArgs>();
    c.add_option("IN", a->source, "the file; - for standard input")->required();
    c.add_option("IMAGE", a->target, "the new image; - for standard output")->required();
    c.add_option("--from", a->from, listFormats() + " (default: detected)")->check(CLI::IsMember(formatNames()));
    c.add_flag("-f,--force", a->force, "replace a non-empty IMAGE");
    declareWriteOptions(c, *a, true);
    return runWith(a, cmdImport);
}
}  // namespace
extern const Command exportCommand{"export", "write the volume in another emulator's tape format", declareExport};
extern const Command importCommand{"import", "make a volume from another emulator's tape file", declareImport};

}  // namespace orvtool
