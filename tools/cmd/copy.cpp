// copy.cpp - orvtape copy: every block and tapemark re-written into a new
// image, optionally with other transforms or segment size, then read back
// and compared with the source.
//
// A block that keeps its transforms keeps its stored bytes; the workers
// still decode it, so that a damaged block stops the copy as reading it
// would.  Only a block whose transforms change is encoded anew.
//
// When either end is another format's file, copy is an import, an export
// or one format read into another's writer (convert.cpp does all three).
#include "base/progress.h"
#include "image/decode.h"
#include "base/console.h"
#include "base/files.h"
#include "base/pool.h"
#include "base/pump.h"
#include "image/sink.h"
#include "image/walk.h"
#include "cmd/command.h"
#include "cmd/convert.h"
#include "cmd/source.h"
#include "image/verify.h"
#include "cmd/write_options.h"
#include "formats/format.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

namespace orvtool {

// copy SRC DST [write options]
struct CopyArgs : Common, WriteSettings {
    std::string source, target;
    bool force = false;
    std::string from, to;  // formats other than the image's
    bool split = false;
};

namespace {

constexpr const char* kAdvice = "; try 'orvtape recover'";
// The early comparison goes on each time the copy grows by this much.
constexpr long long kGrowth = 1 << 20;

// copy's arguments as import and export take them.
ConvertArgs across(const CopyArgs& o) {
    ConvertArgs c;
    static_cast<Common&>(c) = o;
    static_cast<WriteSettings&>(c) = o;
    c.source = o.source;
    c.target = o.target;
    c.force = o.force;
    c.from = o.from;
    c.to = o.to;
    c.split = o.split;
    return c;
}

}  // namespace

namespace {

int copyImage(const CopyArgs& o) {
    ImageLock dstLock(o.wait);
    const Volume src = openSourceForNewFile(o.source, o.target, o.force, Limits{o.maxBlock, o.wait}, dstLock);
    const long long size = src.size();
    NewFile file(o.target, false, o.force, &dstLock);
    long long written = 0;
    // Only a copy that may keep the source's bytes gains from checking early;
    // the codec work of the others wants the cores.
    const bool keeps = !o.compress && !o.noCompress && !o.scramble && !o.noScramble && o.segmentSize == 0;
    std::unique_ptr<EarlyCheck> early;
    if (o.jobs > 1 && keeps) early = std::make_unique<EarlyCheck>(src, file.path(), o);
    {
        BlockWalk volume(src, ReadMode::Stored);
        volume.setAdvice(kAdvice);
        ImageSink out(file.fd(), o.target, o);
        if (early) out.onGrowth(kGrowth, [&] { early->grew(); });
        if (o.capacity)
            out.onWritten([&](const Block&) { out.warnAtCapacity("copying block " + std::to_string(out.blocks() - 1)); });
        ParallelEncode encode(out, o, o.jobs, o, &volume);
        Progress progress("copy", static_cast<unsigned long long>(size), o.quiet);
        pump(volume, encode, progress, {o.source, "an orvtape image", false});
        written = out.blocks();
    }
    const EarlyVerdict verdict = early ? early->finish() : EarlyVerdict{};
    long long checked = verify(src, o.target, o.jobs, o, file.path(), written, verdict);
    file.commit();  // only a verified copy takes the target's place
    note(o, "%s: %lld blocks and tapemarks copied and verified", o.target.c_str(), checked);
    return kExitOk;
}

}  // namespace

int cmdCopy(const CopyArgs& o) {
    checkWriteSettings(o);
    ConvertArgs a = across(o);
    if (const int status = copyAcross(a); status >= 0) return status;
    try {
        return copyImage(o);
    } catch (const ReadError&) {
        // An het file whose first MiB holds no compressed block reads as an
        // image up to its first one: copied again as what it is.  The failed
        // copy named nothing.
        Source source;
        source.path = o.source;
        if (!source.foreignAfterAll()) throw;
        a.from = source.format->name;
    }
    return copyAcross(a);
}


namespace {
Runner declareCopy(CLI::App& c) {
    auto a = std::make_shared<CopyArgs>();
    c.add_option("SRC", a->source, "the image or other format's file to copy")->required();
    c.add_option("DST", a->target, "the new image, or file in the format --to or its extension names")->required();
    c.add_flag("-f,--force", a->force, "replace a non-empty DST");
    declareWriteOptions(c, *a, true);
    c.add_option("--from", a->from, "SRC is in this format: " + listFormats() + " (default: detected)")
        ->check(CLI::IsMember(formatNames()));
    c.add_option("--to", a->to, "write DST in this format: " + listFormats() + " (default: named by DST's extension)")
        ->check(CLI::IsMember(formatNames()));
    c.add_flag("--split", a->split, "cut blocks longer than DST's format takes into several instead of refusing");
    return runWith(a, cmdCopy);
}
}  // namespace
extern const Command copyCommand{"copy", "copy a volume: image to image re-written and verified, or between any formats",
                                 declareCopy};

}  // namespace orvtool
