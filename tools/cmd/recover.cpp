// recover.cpp - orvtape recover: salvage a damaged image.
//
// Every block that reads cleanly is copied with its transforms.  At a block
// that does not read, the damaged stretch is skipped: the file bytes are
// scanned for the next offset where a run of headers chains together
// properly, and reading resumes there.  The new image is closed with the
// tapemarks it needs, so it always validates.
#include "base/progress.h"
#include "base/pump.h"
#include "image/layout.h"
#include "image/sink.h"
#include "image/walk.h"
#include "base/files.h"
#include "cmd/command.h"
#include "cmd/source.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>

namespace orvtool {

// recover SRC DST
struct RecoverArgs : Common {
    std::string source, target;
    bool force = false;
};

namespace {

// The blocks of a damaged image that read cleanly, each with the
// transforms it had, the damaged stretches between them skipped and
// reported; then the tapemarks that close the volume as the tool closes
// volumes: two in a row (one when it is empty).
class Salvage : public BlockSource {
public:
    Salvage(const Volume& src, const std::string& shown, FILE* report, Progress& progress)
        : src_(src), shown_(shown), in_(src, ReadMode::Decoded), report_(report), progress_(progress) {}

    bool next(Block& b) override {
        while (pos_ < src_.size()) {
            Step step;
            Failure f;
            if (in_.tryStep(b, step, f) && step != Step::EndOfData && in_.end() <= src_.size()) {
                pos_ = in_.end();
                return kept(b);
            }
            skip();
        }
        if (added < 0) added = (blocks + marks == 0) ? 1 : 2 - std::min(trailingMarks_, 2);
        if (closing_ == added) return false;
        ++closing_;
        b = Block{};
        b.kind = Kind::Mark;
        return true;
    }
    long long consumed() const override { return pos_; }

    long long blocks = 0, marks = 0, skippedBytes = 0;
    int stretches = 0, added = -1;

private:
    bool kept(Block& b) {
        if (b.kind == Kind::Mark) {
            ++marks, ++trailingMarks_;
            return true;
        }
        ++blocks;
        trailingMarks_ = 0;
        // A scrambled payload is what scrambling the data again gives; a
        // compressed one is compressed anew, since another writer may have
        // compressed it otherwise.
        if (b.packing != Packing::None) b.stored = nullptr;
        return true;
    }

    void skip() {
        const long long next = resync(src_, pos_ + 1);
        progress_.finish();
        std::fprintf(report_, "%s: skipped %lld damaged bytes at offsets %lld to %lld%s\n", shown_.c_str(),
                     next - pos_, pos_, next - 1, next >= src_.size() ? " (the end of the image)" : "");
        ++stretches;
        skippedBytes += next - pos_;
        pos_ = next;
        in_.seek(pos_);
    }

    const Volume& src_;
    const std::string& shown_;
    BlockWalk in_;
    FILE* report_;
    Progress& progress_;
    long long pos_ = 0;
    int trailingMarks_ = 0, closing_ = 0;
};

}  // namespace

int cmdRecover(const RecoverArgs& o) {
    refuseForeign(o.source, "recover salvages orvtape images only");  // it would find nothing but damage
    ImageLock dstLock(o.wait);
    const Volume src = openSourceForNewFile(o.source, o.target, o.force, Limits{o.maxBlock, o.wait}, dstLock);
    NewFile file(o.target, false, o.force, &dstLock);
    // The report is the command's output, unless the image itself goes there.
    FILE* report = o.target == "-" ? stderr : stdout;
    Progress progress("recover", static_cast<unsigned long long>(src.size()), o.quiet);
    Salvage salvage(src, o.source, report, progress);
    {
        ImageSink out(file.fd(), o.target, WriteSettings{});
        ParallelEncode encode(out, WriteSettings{}, o.jobs, o);
        pump(salvage, encode, progress, {o.source, "an orvtape image", false});
    }
    const std::string fault = chainFault(file.fd());
    if (!fault.empty()) throw ToolError(o.target, "the recovered image does not validate " + fault);
    file.commit();
    // Printed even with --quiet.
    std::fprintf(report, "%s: %lld blocks and %lld tapemarks recovered; %d damaged stretch%s (%lld "
                "bytes) skipped; %d tapemark%s added to close the volume\n",
                o.target.c_str(), salvage.blocks, salvage.marks, salvage.stretches,
                salvage.stretches == 1 ? "" : "es", salvage.skippedBytes, salvage.added, salvage.added == 1 ? "" : "s");
    return kExitOk;
}

namespace {
Runner declareRecover(CLI::App& c) {
    auto a = std::make_shared<RecoverArgs>();
    c.add_option("SRC", a->source, "the damaged image")->required();
    c.add_option("DST", a->target, "the new image")->required();
    c.add_flag("-f,--force", a->force, "replace a non-empty DST");
    return runWith(a, cmdRecover);
}
}  // namespace
extern const Command recoverCommand{"recover", "salvage every readable block of a damaged image into a new one",
                                    declareRecover};

}  // namespace orvtool
