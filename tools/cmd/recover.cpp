// recover.cpp - orvtape recover: salvage a damaged image.
//
// Every block that reads cleanly is copied with its transforms.  At a block
// that does not read, the damaged stretch is skipped: the file bytes are
// scanned for the next offset where a run of headers chains together
// properly, and reading resumes there.  The new image is closed with the
// tapemarks it needs, so it always validates.
#include "base/progress.h"
#include "image/layout.h"
#include "image/walk.h"
#include "image/out.h"
#include "base/files.h"
#include "orvtape.h"
#include "cmd/command.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <vector>

namespace orvtool {

// recover SRC DST
struct RecoverArgs : Common {
    std::string source, target;
    bool force = false;
};

namespace {

// The recovered image: every good block stored as the drive stores its data
// with the same transforms, and the volume closed as the tool closes volumes.
class Salvage {
public:
    Salvage(const std::string& path, const RecoverArgs& o)
        : out_(path, o.target, WriteSettings{}), sink_(out_, o.jobs, nullptr) {}

    void block(const Block& b) {
        const int xform = flags2Of(b) & (HF2_BZ2 | HF2_SCRAMBLE);
        const unsigned length = static_cast<unsigned>(b.length);
        if (b.kind == Kind::Mark) {
            sink_.tapemark();
            ++marks, ++trailingMarks;
            return;
        }
        ++blocks;
        trailingMarks = 0;
        // A scrambled payload is what scrambling the data again gives; a
        // compressed one is compressed anew, since another writer may have
        // compressed it otherwise.
        if (xform == HF2_SCRAMBLE)
            sink_.stored(b.stored, static_cast<unsigned>(b.storedLength), HF2_XFORM | HF2_SCRAMBLE, length, 0);
        else
            sink_.data(b.data, length, xform);
    }

    // Closes the last file and the volume, so the image ends as the tool
    // writes volumes: with two tapemarks in a row (one when it is empty).
    int finish() {
        const int want = (blocks + marks == 0) ? 1 : 2 - std::min(trailingMarks, 2);
        for (int i = 0; i < want; ++i) sink_.tapemark();
        sink_.drain();
        out_.close();
        return want;
    }

    long long blocks = 0, marks = 0;

private:
    ImageOut out_;
    EncodingOut sink_;
    int trailingMarks = 0;
};

}  // namespace

int cmdRecover(const RecoverArgs& o) {
    ImageLock dstLock(o.wait);
    const Volume src = openSourceForNewFile(o.source, o.target, o.force, Limits{o.maxBlock, o.wait}, dstLock);
    const long long size = src.size();
    NewFile file(o.target, false, o.force, &dstLock);
    // The report is the command's output, unless the image itself goes there.
    FILE* report = o.target == "-" ? stderr : stdout;
    long long blocks = 0, marks = 0, skippedBytes = 0;
    int stretches = 0, added = 0;
    {
        BlockWalk in(src, ReadMode::Decoded);
        Salvage out(file.path(), o);
        Progress progress("recover", static_cast<unsigned long long>(size), o.quiet);
        for (long long pos = 0; pos < size;) {
            Block b;
            Step step;
            Failure f;
            if (in.tryStep(b, step, f) && step != Step::EndOfData && in.info().end <= size) {
                out.block(b);
                progress.advance(static_cast<unsigned long long>(in.info().end - pos));
                pos = in.info().end;
                continue;
            }
            long long next = resync(src, pos + 1);
            progress.finish();
            std::fprintf(report, "%s: skipped %lld damaged bytes at offsets %lld to %lld%s\n",
                        o.source.c_str(), next - pos, pos, next - 1,
                        next >= size ? " (the end of the image)" : "");
            ++stretches;
            skippedBytes += next - pos;
            progress.advance(static_cast<unsigned long long>(next - pos));
            pos = next;
            in.seek(pos);
        }
        progress.finish();
        added = out.finish();
        blocks = out.blocks;
        marks = out.marks;

        ORVtapeReader again;
        orvTapeChainReport chain = ORVTAPE_CHAIN_REPORT_INIT;
        const bool opened = again.open(file.path().c_str()) == ORVTAPE_OK;
        if (!opened || again.validate(&chain) != ORVTAPE_OK)
            throw ToolError(o.target, "the recovered image does not validate " +
                                          cause(opened ? chain.driveCode : -1, again.lastErrno()));
    }
    file.commit();
    // Printed even with --quiet.
    std::fprintf(report, "%s: %lld blocks and %lld tapemarks recovered; %d damaged stretch%s (%lld "
                "bytes) skipped; %d tapemark%s added to close the volume\n",
                o.target.c_str(), blocks, marks, stretches, stretches == 1 ? "" : "es",
                skippedBytes, added, added == 1 ? "" : "s");
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
