// sink.cpp - the tool's streaming image writer and its encoding pool.
#include "image/sink.h"

#include "image/decode.h"
#include "image/walk.h"
#include "base/console.h"

#include <ORVtape.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace orvtool {

namespace {
// The disk starts on what is written every this many bytes, so that the
// flush before a new file takes its name waits for the last stretch only.
constexpr long long kWriteBackStep = 8ll << 20;
constexpr unsigned char kTransforms = HF2_BZ2 | HF2_SCRAMBLE;
const char* const kTapemark = "a tapemark";
const char* const kBlockName = "a block";

const char* nameOf(const Block& b) {
    return b.kind == Kind::Mark ? kTapemark : b.isLabel ? "a label" : kBlockName;
}

// The image refused bytes: this write or an earlier one.
bool refusal(int result) { return result == ORVTAPE_ERR_IO || result == ORVTAPE_ERR_STOPPED; }

// The work that makes a slot's stored form: a stored input decoded first
// (the check that it reads), kept when its transforms are the ones wanted;
// data encoded with the transforms wanted.  A block that would not get
// shorter stays uncompressed, as the drive writes it.
void encodeWork(Slot& s, ORVtapeCodec& codec) {
    if (s.inForm) {
        decodeWork(s, codec);
        if (s.inputBad || s.want == (s.inForm & kTransforms)) {
            s.outLength = 0;
            return;
        }
        std::swap(s.in, s.out);  // the data becomes the input of the encoding
        s.inLength = s.outLength;
        s.inForm = 0;
    }
    // The drive raises its record limit to every block it is given.
    codec.setMaxRecordSize(static_cast<int>(std::min(s.inLength, 0x7FFFFFFFu)));
    const unsigned char* stored = nullptr;
    unsigned char flags2 = 0;
    const int n = codec.encode(s.in.data(), s.inLength, (s.want & HF2_BZ2) != 0, (s.want & HF2_SCRAMBLE) != 0,
                               &stored, &flags2);
    s.rc = n;
    s.outLength = 0;
    if (n < 0) return;  // the consumer reports it
    if (s.out.size() < static_cast<size_t>(n)) s.out.resize(static_cast<size_t>(n));
    std::copy(stored, stored + n, s.out.begin());
    s.outLength = static_cast<unsigned>(n);
    s.outForm = flags2;
}
}  // namespace

// The writer is open whenever it writes, and its record limit is raised to
// every block first: only these results reach here.
int driveWriteCode(int result) {
    switch (result) {
    case ORVTAPE_ERR_IO:
    case ORVTAPE_ERR_STOPPED: return -11;
    case ORVTAPE_ERR_ARGUMENT: return -12;
    default: return result;
    }
}

ImageSink::ImageSink(int fd, const std::string& shown, const WriteSettings& o, const WriteStart& start)
    : fd_(fd), hint_(o.sync), hinted_(start.offset), shown_(shown), capacity_(o.capacity), blocks_(start.blocks),
      watchStep_(o.sync ? kWriteBackStep : LLONG_MAX) {
    if (writer_.openFd(fd, start.offset, start.prevLen) != ORVTAPE_OK)
        throw ToolError(shown_, "cannot open the image for writing " + cause(-1, writer_.lastErrno()));
    if (o.segmentSize > 0) writer_.setMaxSegLen(static_cast<unsigned>(o.segmentSize));
    // Only an image flushed when complete gains from write-back started early.
    writer_.setSync(o.sync);
}

Carries ImageSink::carries() const {
    Carries c;
    c.maxBlock = 0x7FFFFFF0;
    c.compression = c.scrambling = true;
    return c;
}

void ImageSink::fail(int rc, const char* what) {
    if (refusal(rc)) refused();
    throw ToolError(shown_, std::string("cannot write ") + what + " " + cause(driveWriteCode(rc), writer_.lastErrno()));
}

void ImageSink::refused() {
    // The image took the blocks before the one it refused, which starts
    // where the writer now ends.  The drive, writing that block itself,
    // reports its header refused as -11 and its payload as -12.
    const long long at = position();
    auto named = std::lower_bound(named_.begin(), named_.end(), std::make_pair(at, static_cast<const char*>(nullptr)),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
    const char* what = named != named_.end() && named->first == at ? named->second : kBlockName;
    throw ToolError(shown_, std::string("cannot write ") + what + " " +
                                cause(what == kTapemark ? -11 : -12, writer_.lastErrno()));
}

void ImageSink::refuseEncoding(int rc, const Block& b) {
    check(rc < 0 ? rc : ORVTAPE_ERR_ARGUMENT, nameOf(b));
    throw ToolError(shown_, "cannot write a block");  // not reached: check throws for every failure
}

inline void ImageSink::write(const void* p, unsigned storedLength, unsigned char flags2, unsigned length, const char* what) {
    const unsigned need = std::max(storedLength, length);
    if (need > static_cast<unsigned>(room_) && need <= 0x7FFFFFFFu) {
        room_ = static_cast<int>(need);
        writer_.setMaxRecordSize(room_);
    }
    if (what != kBlockName) named_.emplace_back(position(), what);
    check(writer_.writeStored(p, storedLength, flags2), what);
    ++blocks_;
    if ((sinceWatch_ += need) >= watchStep_) watch();
}

void ImageSink::watch() {
    if (grew_ && (sinceGrowth_ += sinceWatch_) >= growthStep_) {
        sinceGrowth_ = 0;
        grew_();
    }
    sinceWatch_ = 0;
    if (hint_ && position() - hinted_ >= kWriteBackStep) {
        // Only a hint: what it cannot start, the final flush writes.
        (void)sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
        hinted_ = position();
    }
}

void ImageSink::onGrowth(long long step, std::function<void()> grew) {
    grew_ = std::move(grew);
    growthStep_ = step;
    watchStep_ = std::min(watchStep_, step);
}

void ImageSink::put(const Block& b) {
    if (b.kind == Kind::Mark) {
        write(nullptr, 0, 0, 0, kTapemark);
    } else if (b.kind == Kind::Data) {
        const unsigned length = static_cast<unsigned>(b.length);
        const unsigned char flags2 = b.stored ? flags2Of(b) : 0;
        if (flags2)
            write(b.stored, static_cast<unsigned>(b.storedLength), flags2, length, nameOf(b));
        else
            write(b.data, length, 0, length, nameOf(b));
    } else {
        return;  // the pump reports what an image cannot hold
    }
    if (written_) written_(b);
}

long long ImageSink::abandon() {
    writer_.flush();
    const long long reached = position();  // a closed writer has none
    writer_.close();
    return reached;
}

void ImageSink::warnAtCapacity(const std::string& what) {
    if (capacity_ == 0 || warned_ || static_cast<unsigned long long>(position()) < capacity_) return;
    warned_ = true;
    warn("%s: end-of-tape warning: the capacity of %llu bytes is reached at block %lld (%s)", shown_.c_str(),
         capacity_, blocks_ - 1, what.c_str());
}

void ImageSink::finish() {
    errno = 0;
    // A flush that leaves the image shorter than what was accepted failed
    // to write a block; one that fails otherwise could not make it durable.
    const long long accepted = position();
    int rc = writer_.flush();
    if (rc != ORVTAPE_OK && position() < accepted) refused();
    if (rc == ORVTAPE_OK) rc = writer_.close();
    if (rc != ORVTAPE_OK) throw ToolError(shown_, "cannot close the image " + cause(-1, writer_.lastErrno()));
}

ParallelEncode::ParallelEncode(ImageSink& out, const WriteSettings& o, int jobs, const Common& run, const BlockWalk* source)
    : out_(out), o_(o), source_(source), pipe_(jobs, run, makeCodecState, withCodec(encodeWork)),
      eager_(jobs <= 1), keepsForms_(!o.compress && !o.noCompress && !o.scramble && !o.noScramble) {}

unsigned char ParallelEncode::wanted(const Block& b) const {
    if (keepsForms_ && b.packing == Packing::None && !b.scrambled) return 0;  // the common case: plain stays plain
    const bool pack = o_.compress || (b.packing != Packing::None && !o_.noCompress);
    const bool scramble = o_.scramble || (b.scrambled && !o_.noScramble);
    return static_cast<unsigned char>((pack ? HF2_BZ2 : 0) | (scramble ? HF2_SCRAMBLE : 0));
}

void ParallelEncode::put(const Block& b) {
    // The common case first, without the frame the rest needs: plain stays
    // plain, nothing in flight.
    if (keepsForms_ && b.packing == Packing::None && !b.scrambled && pipe_.passesStraight(false)) return out_.put(b);
    putWithWork(b);
}

void ParallelEncode::putWithWork(const Block& b) {
    if (b.kind != Kind::Data && b.kind != Kind::Mark) return;  // the pump reports what an image cannot hold
    const unsigned char form = b.stored ? flags2Of(b) : 0;
    const unsigned char own = form & kTransforms;
    const unsigned char want = b.kind == Kind::Data ? wanted(b) : 0;
    // Kept as stored with its data at hand, or plain and to stay so: no codec work.
    const bool keeps = own ? want == own && b.data : want == 0;
    if (pipe_.passesStraight(!keeps)) return out_.put(b);  // without own transforms, the sink writes the data
    Slot* s;
    while (!(s = pipe_.acquire())) write(*pipe_.collect());
    load(b, *s, want, form);
    s->transform = !keeps;
    pipe_.submit(*s);
    if (eager_) write(*pipe_.collect());
}

void ParallelEncode::load(const Block& b, Slot& s, unsigned char want, unsigned char form) {
    s.length = b.kind == Kind::Mark ? 0 : static_cast<int>(b.length);
    s.offset = b.offset;
    s.number = b.number;
    s.isLabel = b.isLabel;
    s.want = want;
    const bool stored = form && (!b.data || want == (form & kTransforms));
    s.inForm = stored ? form : 0;
    const unsigned n = static_cast<unsigned>(stored ? b.storedLength : s.length);
    if (s.in.size() < n) s.in.resize(n);
    if (n) std::memcpy(s.in.data(), stored ? b.stored : b.data, n);
    s.inLength = n;
}

void ParallelEncode::write(const Slot& s) {
    Block b;
    b.kind = s.length == 0 ? Kind::Mark : Kind::Data;
    b.length = static_cast<std::size_t>(s.length);
    b.isLabel = s.isLabel;
    b.offset = s.offset;
    b.number = s.number;
    if (s.inputBad) {
        if (source_) throwIfUndecoded(s, *source_);
        out_.refuseEncoding(s.rc, b);
    }
    if (s.transform && s.rc < 0) out_.refuseEncoding(s.rc, b);
    const bool encoded = s.outLength > 0;
    b.data = encoded ? s.out.data() : s.in.data();
    b.stored = b.data;
    b.storedLength = encoded ? s.outLength : s.inLength;
    describeForm(encoded ? s.outForm : s.inForm, b);
    out_.put(b);
}

void ParallelEncode::drain() {
    while (Slot* s = pipe_.collect()) write(*s);
}

void ParallelEncode::finish() {
    drain();
    out_.finish();
}

}  // namespace orvtool
