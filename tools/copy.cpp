// copy.cpp - orvtape copy: every block and tapemark re-written into a new
// image, optionally with other transforms or segment size, then read back
// and compared with the source.
//
// A block that keeps its transforms keeps its stored bytes; the workers
// still decode it, so that a damaged block stops the copy as reading it
// would.  Only a block whose transforms change is encoded anew.
#include "base/progress.h"
#include "image/decode.h"
#include "image_out.h"
#include "orvtape.h"
#include "pipeline.h"
#include "safe_file.h"
#include "cmd/command.h"
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

ToolError differs(const std::string& path, long long block) {
    return ToolError(path, "block " + std::to_string(block) + " of the copy differs from the source");
}

// A block as the reader gave it, decoded when stored with transforms.
// Returns false when it does not decode.
bool decoded(ORVtapeCodec& codec, const unsigned char* stored, unsigned n, unsigned char flags2,
             const unsigned char** data, unsigned* length) {
    if (!flags2) {
        *data = stored;
        *length = n;
        return true;
    }
    return codec.decode(stored, n, flags2, data, length) >= 0;
}

// Compares the source block (in) with the copy's (out), both as stored but
// in different forms: rc 0 when their data agree.
void compareWork(Slot& s, ORVtapeCodec& codec) {
    thread_local std::vector<unsigned char> source;
    codec.setMaxRecordSize(s.length);
    const unsigned char* p;
    unsigned n;
    s.rc = 1;
    if (!decoded(codec, s.in.data(), s.inLength, s.flags2, &p, &n)) return;
    source.assign(p, p + n);
    if (!decoded(codec, s.out.data(), s.outLength, s.outFlags2, &p, &n)) return;
    s.rc = n == source.size() && std::equal(p, p + n, source.begin()) ? 0 : 1;
}

// Blocks of one length stored alike, compared where the readers hold them.
bool sameStored(const Block& a, const Block& b) {
    const int fa = flags2Of(a), fb = flags2Of(b);
    const size_t n = fa ? a.storedLength : a.length;
    return fa == fb && n == (fb ? b.storedLength : b.length) &&
           std::memcmp(fa ? a.stored : a.data, fb ? b.stored : b.data, n) == 0;
}

// Room for a stretch of each file being compared, kept between stretches.
struct CompareBuffers {
    std::vector<unsigned char> x = std::vector<unsigned char>(128 << 10), y = x;
};

// True when the open files a and b hold the same bytes from at to end; a
// raised stop ends the comparison early, with false.
bool sameRange(int a, int b, off_t at, off_t end, CompareBuffers& buffers,
               const std::atomic<bool>* stop = nullptr) {
    std::vector<unsigned char>& x = buffers.x;
    std::vector<unsigned char>& y = buffers.y;
    while (at < end) {
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        const size_t want = static_cast<size_t>(std::min<off_t>(end - at, static_cast<off_t>(x.size())));
        const ssize_t n = pread(a, x.data(), want, at);
        if (n <= 0 || pread(b, y.data(), static_cast<size_t>(n), at) != n ||
            std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) != 0)
            return false;
        at += n;
    }
    return true;
}

// True when the two open files hold the same bytes.  A copy that keeps
// every block as stored, and the segment size, is the source byte for byte;
// then comparing the files says all that a walk over both would.
bool sameBytes(int a, int b) {
    struct stat sa, sb;
    if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0 || sa.st_size != sb.st_size) return false;
    CompareBuffers buffers;
    return sameRange(a, b, 0, sa.st_size, buffers);
}

// What the verification found out while the copy was written.
struct EarlyVerdict {
    bool known = false;  // alike and valid say something
    bool alike = false;  // the closed copy holds the source's bytes
    bool valid = false;  // the source's header chain validates
};

// The verification's work that needs no finished copy, on a core of its own
// while the copy is written: the source's header chain walk, which is the
// copy's too when the copy proves to be the source byte for byte, and the
// comparison of the files as far as the copy has reached.  The writer only
// appends, so the bytes compared stay as they were.
class EarlyCheck {
public:
    EarlyCheck(const Volume& src, const std::string& copyPath)
        : chain_(src, ReadMode::Pass), source_(src.fd()), copy_(::open(copyPath.c_str(), O_RDONLY | O_CLOEXEC)) {
        try {
            if (copy_ >= 0) thread_ = std::thread([this] { run(); });
        } catch (const std::system_error& e) {
            threadRefused(e);  // verify() then does all of the comparison after the copy
        }
    }
    ~EarlyCheck() {
        stop_ = true;
        finish();
        if (copy_ >= 0) ::close(copy_);
    }
    EarlyCheck(const EarlyCheck&) = delete;
    EarlyCheck& operator=(const EarlyCheck&) = delete;

    // The copy has grown: the comparison may go on.
    void grew() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++grown_;
        }
        wake_.notify_one();
    }
    // After the copy is closed: the comparison of the whole of it.
    EarlyVerdict finish() {
        if (!thread_.joinable()) return verdict_;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        wake_.notify_one();
        thread_.join();
        return verdict_;
    }

private:
    void run() {
        orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
        const bool valid = chain_.validate(report) == ORVTAPE_OK;
        off_t at = 0;
        for (unsigned long long seen = 0;;) {
            bool closed;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return grown_ != seen || closed_; });
                seen = grown_;
                closed = closed_;
            }
            struct stat sc, ss;
            if (stop_ || fstat(copy_, &sc) != 0 || fstat(source_, &ss) != 0 || sc.st_size > ss.st_size ||
                !sameRange(source_, copy_, at, sc.st_size, buffers_, &stop_))
                break;
            at = sc.st_size;
            if (closed) {
                verdict_ = EarlyVerdict{true, at == ss.st_size, valid};
                return;
            }
        }
        verdict_ = EarlyVerdict{!stop_, false, valid};
    }

    BlockWalk chain_;
    int source_, copy_;
    CompareBuffers buffers_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    unsigned long long grown_ = 0;
    bool closed_ = false;
    EarlyVerdict verdict_;
    std::thread thread_;
};

// Walks both images block by block; throws at the first difference.
// Returns the blocks and tapemarks compared.
long long compareBlocks(const Volume& src, const Volume& dst, const CopyArgs& o) {
    BlockWalk source(src, ReadMode::Stored), copy(dst, ReadMode::Stored);
    long long blocks = 0;
    const std::string& dstPath = o.target;
    // Only blocks stored in different forms take a slot, to be decoded and compared.
    auto produce = [&](Slot& s) {
        for (;;) {
            Block a, b;
            Step sa, sb;
            Failure f;
            const bool readA = source.tryStep(a, sa, f), readB = copy.tryStep(b, sb, f);
            const bool endA = readA && sa == Step::EndOfData, endB = readB && sb == Step::EndOfData;
            if (endA && endB) return false;
            if (!readA || !readB || endA || endB || a.kind != b.kind || a.length != b.length)
                throw differs(dstPath, blocks);
            s.number = blocks++;
            if (a.kind == Kind::Mark || sameStored(a, b)) continue;
            s.length = static_cast<int>(a.length);
            s.inLength = storedForm(a, s.in, s.flags2);
            s.outLength = storedForm(b, s.out, s.outFlags2);
            s.transform = true;
            return true;
        }
    };
    Pipeline(o.jobs, 0, compareWork).run(produce, [&](Slot& s) {
        if (s.rc != 0) throw differs(dstPath, s.number);
    });
    return blocks;
}

// Checks the closed copy: its header chain, and its blocks against the
// source's.  Returns the blocks and tapemarks compared (written, when the
// files are alike).
long long verify(const Volume& src, const CopyArgs& o, const std::string& dstPath, long long written,
                 const EarlyVerdict& early) {
    const Volume dst = Volume::forReading(dstPath, src.limits());  // still the tool's own file
    // A copy that is the source byte for byte has the source's header chain;
    // any other copy's chain walk runs beside the comparison when there is a
    // core for it.  Its verdict comes first either way.
    std::unique_ptr<BlockWalk> chain;
    orvTapeChainReport report = ORVTAPE_CHAIN_REPORT_INIT;
    std::future<int> valid;
    if (!(early.alike && early.valid)) {
        chain = std::make_unique<BlockWalk>(dst, ReadMode::Pass);
        auto walk = [&chain, &report] { return chain->validate(report); };
        valid = o.jobs > 1 ? besideOrDeferred(walk) : std::async(std::launch::deferred, walk);
    }
    long long blocks = written;
    std::exception_ptr difference;
    const bool alike = early.known ? early.alike : sameBytes(src.fd(), dst.fd());
    if (!alike) {
        try {
            blocks = compareBlocks(src, dst, o);
        } catch (const ToolError&) {
            difference = std::current_exception();
        }
    }
    const int rc = valid.valid() ? valid.get() : 0;
    if (rc < 0) throw ToolError(o.target, "the copy does not validate " + cause(report.driveCode, chain->lastErrno()));
    if (difference) std::rethrow_exception(difference);
    return blocks;
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
    long long checked = verify(src, o, file.path(), written, verdict);
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
