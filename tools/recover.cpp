// recover.cpp - orvtape recover: salvage a damaged image.
//
// Every block that reads cleanly is copied with its transforms.  At a block
// that does not read, the damaged stretch is skipped: the file bytes are
// scanned for the next offset where a run of headers chains together
// properly, and reading resumes there.  The new image is closed with the
// tapemarks it needs, so it always validates.
#include "base/progress.h"
#include "image_out.h"
#include "orvtape.h"
#include "safe_file.h"
#include "volume.h"
#include "cmd/command.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <unistd.h>
#include <vector>

namespace orvtool {

// recover SRC DST
struct RecoverArgs : Common {
    std::string source, target;
    bool force = false;
};

namespace {

constexpr int kChainNeeded = 4;  // headers that must chain before we trust an offset

unsigned u16(const unsigned char* p) { return p[0] | p[1] << 8; }

// Could these 6 bytes be the first header of a block or a tapemark?
bool plausibleStart(const unsigned char* h) {
    unsigned len = u16(h);
    if (h[4] == HF1_TM) return len == 0 && h[5] == 0;
    if (h[4] != HF1_BOR && h[4] != (HF1_BOR | HF1_EOR)) return false;
    return len > 0 && (h[5] == 0 || (h[5] & ~3) == HF2_XFORM);
}

// Follows the header chain from q: true when kChainNeeded headers chain
// properly, or fewer that end exactly at the end of the file between blocks.
bool chainHolds(int fd, long long q, long long size) {
    unsigned char h[6];
    long long p = q;
    unsigned prevLen = 0;
    bool inBlock = false;
    unsigned char blockXform = 0;
    for (int n = 0; n < kChainNeeded; ++n) {
        if (p == size) return n > 0 && !inBlock;
        if (p + 6 > size || pread(fd, h, 6, p) != 6) return false;
        unsigned len = u16(h);
        if (n > 0 && u16(h + 2) != prevLen) return false;
        if (!inBlock) {
            if (!plausibleStart(h)) return false;
            blockXform = h[5];
            inBlock = h[4] == HF1_BOR;
        } else {
            if ((h[4] != 0 && h[4] != HF1_EOR) || len == 0 || h[5] != blockXform) return false;
            inBlock = h[4] == 0;
        }
        if (p + 6 + len > size) return false;
        prevLen = len;
        p += 6 + len;
    }
    return true;
}

// The first offset at or after from where the chain resumes; size if none.
long long resync(int fd, long long from, long long size) {
    std::vector<unsigned char> chunk(1 << 16);
    for (long long base = from; base + 6 <= size;) {
        ssize_t got = pread(fd, chunk.data(), chunk.size(), base);
        if (got < 6) break;
        for (ssize_t i = 0; i + 6 <= got; ++i)
            if (plausibleStart(&chunk[static_cast<size_t>(i)]) && chainHolds(fd, base + i, size))
                return base + i;
        base += got - 5;  // the last five bytes start the next chunk
    }
    return size;
}

// The recovered image: every good block stored as the drive stores its data
// with the same transforms, and the volume closed as the tool closes volumes.
class Salvage {
public:
    Salvage(const std::string& path, const RecoverArgs& o)
        : out_(path, o.target, WriteSettings{}), sink_(out_, o.jobs, nullptr) {}

    void block(const orvTapeBlockInfo& b, int length) {
        const int xform = b.flags2 & (HF2_BZ2 | HF2_SCRAMBLE);
        if (length == 0) {
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
            sink_.stored(b.stored, b.storedLength, HF2_XFORM | HF2_SCRAMBLE, static_cast<unsigned>(length), 0);
        else
            sink_.data(b.data, static_cast<unsigned>(length), xform);
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
    ORVtape src;
    ImageLock srcLock, dstLock;
    const long long size = mountSourceForNewFile(src, o.source, o.target, o.force, srcLock, dstLock);
    NewFile file(o.target, false, o.force, &dstLock);
    // The report is the command's output, unless the image itself goes there.
    FILE* report = o.target == "-" ? stderr : stdout;
    long long blocks = 0, marks = 0, skippedBytes = 0;
    int stretches = 0, added = 0;
    {
        VolumeStream in(src, o.source);
        Salvage out(file.path(), o);
        Progress progress("recover", static_cast<unsigned long long>(size), o.quiet);
        orvTapeBlockInfo b{};
        for (long long pos = 0; pos < size;) {
            const int rc = in.next(b, true, true);
            if (rc >= 0 && b.end <= size) {
                out.block(b, rc);
                progress.advance(static_cast<unsigned long long>(b.end - pos));
                pos = b.end;
                continue;
            }
            long long next = resync(src.fd, pos + 1, size);
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
