// copy.cpp - orvtape copy: every block and tapemark re-written into a new
// image, optionally with other transforms or segment size, then read back
// and compared with the source.
//
// A block that keeps its transforms keeps its stored bytes; the workers
// still decode it, so that a damaged block stops the copy as reading it
// would.  Only a block whose transforms change is encoded anew.
#include "base/progress.h"
#include "image/decode.h"
#include "image/out.h"
#include "base/console.h"
#include "base/files.h"
#include "orvtape.h"
#include "pipeline.h"
#include "cmd/command.h"
#include "cmd/verify.h"
#include "cmd/write_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvtool {

// copy SRC DST [write options]
struct CopyArgs : Common, WriteSettings {
    std::string source, target;
    bool force = false;
};

namespace {

constexpr const char* kAdvice = "; try 'orvtape recover'";
constexpr int kTransforms = HF2_BZ2 | HF2_SCRAMBLE;
// The early comparison goes on each time the copy grows by this much.
constexpr long long kGrowth = 1 << 20;

int wantedTransforms(int original, const CopyArgs& o) {
    int x = original;
    if (o.compress) x |= HF2_BZ2;
    if (o.noCompress) x &= ~HF2_BZ2;
    if (o.scramble) x |= HF2_SCRAMBLE;
    if (o.noScramble) x &= ~HF2_SCRAMBLE;
    return x;
}

// A slot's work in the copy: decode the stored block (the check that it
// reads), then, when s.tag asks for other transforms, encode it with them.
// out stays empty for a block that keeps its stored bytes.
void copyWork(Slot& s, ORVtapeCodec& codec) {
    const int from = s.flags2 & kTransforms;
    if (from) {
        decodeWork(s, codec);
        if (s.rc < 0 || s.tag == from) {
            s.outLength = 0;
            return;
        }
        std::swap(s.in, s.out);  // the data becomes the input of the encoding
        s.inLength = s.outLength;
    }
    codec.setMaxRecordSize(s.length);
    encodeWork(s, codec);
}

}  // namespace

int cmdCopy(const CopyArgs& o) {
    checkWriteSettings(o);
    ImageLock dstLock(o.wait);
    const Volume src = openSourceForNewFile(o.source, o.target, o.force, Limits{o.maxBlock, o.wait}, dstLock);
    const long long size = src.size();
    NewFile file(o.target, false, o.force, &dstLock);
    long long written = 0;
    // Only a copy that may keep the source's bytes gains from checking early;
    // the codec work of the others wants the cores.
    const bool keeps = !o.compress && !o.noCompress && !o.scramble && !o.noScramble && o.segmentSize == 0;
    std::unique_ptr<EarlyCheck> early;
    if (o.jobs > 1 && keeps) early = std::make_unique<EarlyCheck>(src, file.path());
    {
        BlockWalk volume(src, ReadMode::Stored);
        volume.setAdvice(kAdvice);
        ImageOut out(file.path(), o.target, o);
        Progress progress("copy", static_cast<unsigned long long>(size), o.quiet);
        auto planSlot = [&](Slot& s) {
            const int from = s.flags2 & kTransforms;
            s.tag = s.length ? wantedTransforms(from, o) : 0;
            s.transform = from != 0 || s.tag != from;
        };
        auto produce = [&](Slot& s) {
            Block b;
            if (!volume.next(b)) return false;
            loadSlot(b, s);
            planSlot(s);
            return true;
        };
        long long shown = 0, told = 0;
        auto afterBlock = [&] {
            const long long at = volume.position();  // the copy keeps pace with it
            if (early && at - told >= kGrowth) {
                told = at;
                early->grew();
            }
            if (o.capacity && static_cast<unsigned long long>(out.position()) >= o.capacity)
                out.warnAtCapacity("copying block " + std::to_string(out.blocks() - 1));
            progress.advance(static_cast<unsigned long long>(at - shown));
            shown = at;
        };
        auto consume = [&](Slot& s) {
            throwIfUndecoded(s, volume);
            out.slot(s);
            afterBlock();
        };
        // A block with no codec work goes straight from the reader to the
        // image while nothing is in flight: a plain volume meets no slot.
        Pipeline pipe(o.jobs, 0, copyWork);
        for (bool more = true;;) {
            if (more && pipe.inFlight() == 0) {
                Block b;
                if (!(more = volume.next(b))) break;
                const bool work = b.kind == Kind::Data && (flags2Of(b) != 0 || wantedTransforms(0, o) != 0);
                if (pipe.passesStraight(work)) {
                    if (b.kind == Kind::Mark) out.tapemark(); else out.plain(b.data, static_cast<unsigned>(b.length));
                    afterBlock();
                    continue;
                }
                Slot& s = *pipe.acquire();
                loadSlot(b, s);
                planSlot(s);
                pipe.submit(s);
            }
            if (more) more = pipe.feed(produce);
            Slot* s = pipe.collect();
            if (!s) break;
            consume(*s);
        }
        progress.finish();
        out.close();
        written = out.blocks();
    }
    const EarlyVerdict verdict = early ? early->finish() : EarlyVerdict{};
    long long checked = verify(src, o.target, o.jobs, file.path(), written, verdict);
    file.commit();  // only a verified copy takes the target's place
    note(o, "%s: %lld blocks and tapemarks copied and verified", o.target.c_str(), checked);
    return kExitOk;
}


namespace {
Runner declareCopy(CLI::App& c) {
    auto a = std::make_shared<CopyArgs>();
    c.add_option("SRC", a->source, "the image to copy")->required();
    c.add_option("DST", a->target, "the new image")->required();
    c.add_flag("-f,--force", a->force, "replace a non-empty DST");
    declareWriteOptions(c, *a, true);
    return runWith(a, cmdCopy);
}
}  // namespace
extern const Command copyCommand{"copy", "re-write every block and tapemark into a new image and verify it",
                                 declareCopy};

}  // namespace orvtool
