// out.cpp - the tool's streaming image writer.
#include "image/out.h"
#include "base/console.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace orvtool {

namespace {
// The disk starts on what is written every this many bytes, so that the
// flush before a new file takes its name waits for the last stretch only.
constexpr long long kWriteBackStep = 8ll << 20;
constexpr int kTransforms = HF2_BZ2 | HF2_SCRAMBLE;
const char* const kTapemark = "a tapemark";

const char* blockName(int tag) { return (tag & kLabelTag) ? "a label" : kBlockName; }

// The image refused bytes: this write or an earlier one.
bool refusal(int result) { return result == ORVTAPE_ERR_IO || result == ORVTAPE_ERR_STOPPED; }

// The drive's write code for a result of the writer or codec, which
// messages show as they show the drive's codes elsewhere.
int driveWriteCode(int result) {
    switch (result) {
    case ORVTAPE_ERR_NOT_OPEN: return -1;
    case ORVTAPE_ERR_IO:
    case ORVTAPE_ERR_STOPPED: return -11;
    case ORVTAPE_ERR_ARGUMENT: return -12;
    case ORVTAPE_ERR_TOO_LONG: return -13;
    default: return result;
    }
}
}  // namespace

const char* const kBlockName = "a block";

ImageOut::ImageOut(const std::string& path, const std::string& shown, const WriteSettings& o, long long offset,
                   unsigned prevLen, long long blockNumber)
    : shown_(shown), capacity_(o.capacity), room_(0), blocks_(blockNumber) {
    if (writer_.open(path.c_str(), offset, prevLen) != ORVTAPE_OK)
        throw ToolError(shown_, "cannot open the image for writing " + cause(-1, writer_.lastErrno()));
    if (o.segmentSize > 0) writer_.setMaxSegLen(o.segmentSize);
    writer_.setSync(o.sync);
    // Only an image flushed when complete gains from write-back started early.
    if (o.sync) hintFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    hinted_ = offset;
    // Where the capacity is already reached, the drive warns at the first block.
    warned_ = false;
}

void ImageOut::check(int rc, const char* what) {
    if (rc >= 0) return;
    if (refusal(rc)) refused();
    throw ToolError(shown_, std::string("cannot write ") + what + " " + cause(driveWriteCode(rc), writer_.lastErrno()));
}

void ImageOut::refused() {
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

void ImageOut::stored(const void* payload, unsigned storedLength, unsigned char flags2, unsigned length,
                      const char* what) {
    const unsigned need = std::max(storedLength, length);
    if (need > static_cast<unsigned>(room_) && need <= 0x7FFFFFFFu) {
        room_ = static_cast<int>(need);
        writer_.setMaxRecordSize(room_);
    }
    if (!storedLength) what = kTapemark;
    if (what != kBlockName) named_.emplace_back(position(), what);
    check(writer_.writeStored(payload, storedLength, storedLength ? flags2 : 0), what);
    ++blocks_;
    if (hintFd_ >= 0 && position() - hinted_ >= kWriteBackStep) startWriteBack();
}

void ImageOut::slot(const Slot& s) {
    if (s.length == 0) return tapemark();
    if (s.rc < 0) check(s.rc, blockName(s.tag));
    if (s.outLength > 0)
        return stored(s.out.data(), s.outLength, s.outFlags2, static_cast<unsigned>(s.length), blockName(s.tag));
    stored(s.in.data(), s.inLength, s.flags2, static_cast<unsigned>(s.length), blockName(s.tag));
}

ImageOut::~ImageOut() {
    if (hintFd_ >= 0) ::close(hintFd_);
}

long long ImageOut::abandon() {
    writer_.flush();
    const long long reached = position();  // a closed writer has none
    writer_.close();
    return reached;
}

void ImageOut::startWriteBack() {
    // Only a hint: what it cannot start, the final flush writes.
    if (hintFd_ >= 0) (void)sync_file_range(hintFd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    hinted_ = position();
}

void ImageOut::tapemark() { stored(nullptr, 0, 0, 0, kTapemark); }

void ImageOut::warnAtCapacity(const std::string& what) {
    if (capacity_ == 0 || warned_ || static_cast<unsigned long long>(position()) < capacity_) return;
    warned_ = true;
    warn("%s: end-of-tape warning: the capacity of %llu bytes is reached at block %lld (%s)", shown_.c_str(),
         capacity_, blocks_ - 1, what.c_str());
}

void ImageOut::close() {
    errno = 0;
    // A flush that leaves the image shorter than what was accepted failed
    // to write a block; one that fails otherwise could not make it durable.
    const long long accepted = position();
    int rc = writer_.flush();
    if (rc != ORVTAPE_OK && position() < accepted) refused();
    if (rc == ORVTAPE_OK) rc = writer_.close();
    if (rc != ORVTAPE_OK) throw ToolError(shown_, "cannot close the image " + cause(-1, writer_.lastErrno()));
}

void encodeWork(Slot& s, ORVtapeCodec& codec) {
    // The drive raises its record limit to every block it is given.
    codec.setMaxRecordSize(static_cast<int>(std::min(s.inLength, 0x7FFFFFFFu)));
    const unsigned char* stored = nullptr;
    unsigned char flags2 = 0;
    const int n = codec.encode(s.in.data(), s.inLength, (s.tag & HF2_BZ2) != 0, (s.tag & HF2_SCRAMBLE) != 0,
                               &stored, &flags2);
    s.rc = n;
    if (n < 0) return;  // the consumer reports it
    s.out.resize(std::max<size_t>(s.out.size(), static_cast<size_t>(n)));
    std::copy(stored, stored + n, s.out.begin());
    s.outLength = static_cast<unsigned>(n);
    s.outFlags2 = flags2;
}

EncodingOut::EncodingOut(ImageOut& out, int jobs, Written written)
    : out_(out), pipe_(jobs, 0, encodeWork), written_(std::move(written)), eager_(jobs <= 1) {
    if (!written_) written_ = [](int, long long) {};
}

void EncodingOut::data(const void* p, unsigned length, int tag, long long number) {
    if (pipe_.passesStraight((tag & kTransforms) != 0)) {
        out_.plain(p, length, blockName(tag));
        return written_(tag, number);
    }
    Slot& s = fill(p, length);
    s.flags2 = 0;
    s.length = static_cast<int>(length);
    s.tag = tag;
    s.number = number;
    s.transform = (tag & kTransforms) != 0;
    send(s);
}

void EncodingOut::stored(const void* p, unsigned storedLength, unsigned char flags2, unsigned length, int tag,
                         long long number) {
    if (pipe_.passesStraight(false)) {  // a stored block needs no codec
        out_.stored(p, storedLength, flags2, length, blockName(tag));
        return written_(tag, number);
    }
    Slot& s = fill(p, storedLength);
    s.flags2 = flags2;
    s.length = static_cast<int>(length);
    s.tag = tag;
    s.number = number;
    send(s);
}

void EncodingOut::tapemark(int tag, long long number) {
    if (pipe_.passesStraight(false)) {
        out_.tapemark();
        return written_(tag, number);
    }
    Slot& s = fill(nullptr, 0);
    s.length = 0;
    s.tag = tag;
    s.number = number;
    send(s);
}

Slot& EncodingOut::fill(const void* p, unsigned length) {
    Slot* s;
    while (!(s = pipe_.acquire())) write(*pipe_.collect());
    if (s->in.size() < length) s->in.resize(length);
    if (length) std::memcpy(s->in.data(), p, length);
    s->inLength = length;
    return *s;
}

void EncodingOut::send(Slot& s) {
    pipe_.submit(s);
    if (eager_) write(*pipe_.collect());
}

void EncodingOut::write(const Slot& s) {
    out_.slot(s);
    written_(s.tag, s.number);
}

void EncodingOut::drain() {
    while (Slot* s = pipe_.collect()) write(*s);
}

int endVolumeAt(const std::string& path, long long offset, unsigned prevLen, unsigned marks) {
    ORVtapeWriter w;
    int rc = w.open(path.c_str(), offset, prevLen);
    if (rc == ORVTAPE_OK) rc = w.wtm(marks);
    const int closed = w.close();
    if (rc == ORVTAPE_OK) rc = closed;
    errno = rc ? w.lastErrno() : 0;
    return driveWriteCode(rc);
}

std::string volumeEnd(unsigned prevLen, unsigned marks) {
    const int fd = memfd_create("orvtape-end", MFD_CLOEXEC);
    if (fd < 0) return "";
    // The writer appends only after a segment that is there, so the marks
    // follow one of prevLen bytes, written for the purpose and left out.
    ORVtapeWriter w;
    const std::vector<unsigned char> segment(prevLen);
    w.setMaxSegLen(0);
    bool made = w.openFd(fd, 0, 0) == ORVTAPE_OK &&
                (prevLen == 0 || w.write(segment.data(), prevLen) == static_cast<int>(prevLen));
    const long long at = w.position();
    made = made && w.wtm(marks) == ORVTAPE_OK && w.close() == ORVTAPE_OK;
    std::string end(64, '\0');
    const ssize_t n = made ? pread(fd, &end[0], end.size(), at) : -1;
    ::close(fd);
    end.resize(n > 0 && n < 64 ? static_cast<size_t>(n) : 0);
    return end;
}

}  // namespace orvtool
