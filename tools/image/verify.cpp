// verify.cpp - copy's check of what it wrote.
#include "image/verify.h"
#include "base/error.h"

#include "image/decode.h"
#include "base/pool.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

namespace {

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

// A comparing worker's codec, and the source's data it keeps while the
// codec decodes the copy's.
struct CompareState : CodecState {
    std::vector<unsigned char> source;
};

// Compares the source block (in) with the copy's (out), both as stored but
// in different forms: rc 0 when their data agree.
void compareWork(Slot& s, WorkerState& state) {
    ORVtapeCodec& codec = static_cast<CompareState&>(state).codec;
    std::vector<unsigned char>& source = static_cast<CompareState&>(state).source;
    codec.setMaxRecordSize(s.length);
    const unsigned char* p;
    unsigned n;
    s.rc = 1;
    if (!decoded(codec, s.in.data(), s.inLength, s.inForm, &p, &n)) return;
    source.assign(p, p + n);
    if (!decoded(codec, s.out.data(), s.outLength, s.outForm, &p, &n)) return;
    s.rc = n == source.size() && std::equal(p, p + n, source.begin()) ? 0 : 1;
}

// Blocks of one length stored alike, compared where the readers hold them.
bool sameStored(const Block& a, const Block& b) {
    const int fa = flags2Of(a), fb = flags2Of(b);
    const size_t n = fa ? a.storedLength : a.length;
    return fa == fb && n == (fb ? b.storedLength : b.length) &&
           std::memcmp(fa ? a.stored : a.data, fb ? b.stored : b.data, n) == 0;
}

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

// Walks both images block by block; throws at the first difference.
// Returns the blocks and tapemarks compared.
long long compareBlocks(const Volume& src, const Volume& dst, const std::string& shown, int jobs, const Common& run) {
    BlockWalk source(src, ReadMode::Stored), copy(dst, ReadMode::Stored);
    long long blocks = 0;
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
                throw differs(shown, blocks);
            s.number = blocks++;
            if (a.kind == Kind::Mark || sameStored(a, b)) continue;
            s.length = static_cast<int>(a.length);
            s.inLength = storedForm(a, s.in, s.inForm);
            s.outLength = storedForm(b, s.out, s.outForm);
            s.transform = true;
            return true;
        }
    };
    Pipeline(jobs, run, [] { return std::make_unique<CompareState>(); }, compareWork).run(produce, [&](Slot& s) {
        if (s.rc != 0) throw differs(shown, s.number);
    });
    return blocks;
}

}  // namespace

EarlyCheck::EarlyCheck(const Volume& src, const std::string& copyPath, const Common& settings)
    : chain_(src, ReadMode::Pass), source_(src.fd()), copy_(::open(copyPath.c_str(), O_RDONLY | O_CLOEXEC)) {
    try {
        if (copy_ >= 0) thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        threadRefused(e, settings);  // verify() then does all of the comparison after the copy
    }
}

EarlyCheck::~EarlyCheck() {
    stop_ = true;
    finish();
    if (copy_ >= 0) ::close(copy_);
}

void EarlyCheck::grew() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++grown_;
    }
    wake_.notify_one();
}

EarlyVerdict EarlyCheck::finish() {
    if (!thread_.joinable()) return verdict_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    wake_.notify_one();
    thread_.join();
    return verdict_;
}

void EarlyCheck::run() {
    const bool valid = chain_.chainFault().empty();
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

long long verify(const Volume& src, const std::string& shown, int jobs, const Common& run, const std::string& dstPath,
                 long long written, const EarlyVerdict& early) {
    const Volume dst = Volume::forReading(dstPath, src.limits());  // still the tool's own file
    // A copy that is the source byte for byte has the source's header chain;
    // any other copy's chain walk runs beside the comparison when there is a
    // core for it.  Its verdict comes first either way.
    std::unique_ptr<BlockWalk> chain;
    std::future<std::string> valid;
    if (!(early.alike && early.valid)) {
        chain = std::make_unique<BlockWalk>(dst, ReadMode::Pass);
        auto walk = [&chain] { return chain->chainFault(); };
        valid = jobs > 1 ? besideOrDeferred(walk, run) : std::async(std::launch::deferred, walk);
    }
    long long blocks = written;
    std::exception_ptr difference;
    const bool alike = early.known ? early.alike : sameBytes(src.fd(), dst.fd());
    if (!alike) {
        try {
            blocks = compareBlocks(src, dst, shown, jobs, run);
        } catch (const ToolError&) {
            difference = std::current_exception();
        }
    }
    const std::string fault = valid.valid() ? valid.get() : "";
    if (!fault.empty()) throw ToolError(shown, "the copy does not validate " + fault);
    if (difference) std::rethrow_exception(difference);
    return blocks;
}
}  // namespace orvtool
