// image_out.cpp - the tool's streaming image writer.
#include "image_out.h"

#include <algorithm>
#include <cerrno>

namespace orvtool {

ImageOut::ImageOut(const std::string& path, const std::string& shown, const Options& o, long long offset,
                   unsigned prevLen, long long blockNumber)
    : shown_(shown), capacity_(o.capacity), room_(0), blocks_(blockNumber) {
    if (writer_.open(path.c_str(), offset, prevLen) != 0)
        throw ToolError(shown_, "cannot open the image for writing " + cause(-1, writer_.lastErrno()));
    if (o.segmentSize > 0) writer_.setMaxSegLen(o.segmentSize);
    writer_.setSync(o.sync);
    // Where the capacity is already reached, the drive warns at the first block.
    warned_ = false;
}

void ImageOut::check(int rc, const char* what) {
    if (rc >= 0) return;
    throw ToolError(shown_, std::string("cannot write ") + what + " " + cause(rc, writer_.lastErrno()));
}

void ImageOut::stored(const void* payload, unsigned storedLength, unsigned char flags2, unsigned length) {
    const unsigned need = std::max(storedLength, length);
    if (need > static_cast<unsigned>(room_) && need <= 0x7FFFFFFFu) {
        room_ = static_cast<int>(need);
        writer_.setMaxRecordSize(room_);
    }
    check(writer_.writeStored(payload, storedLength, storedLength ? flags2 : 0),
          storedLength ? "a block" : "a tapemark");
    ++blocks_;
}

void ImageOut::slot(const Slot& s) {
    if (s.length == 0) return tapemark();
    if (s.outLength > 0) return stored(s.out.data(), s.outLength, s.outFlags2, static_cast<unsigned>(s.length));
    stored(s.in.data(), s.inLength, s.flags2, static_cast<unsigned>(s.length));
}

void ImageOut::tapemark() {
    check(writer_.wtm(1), "a tapemark");
    ++blocks_;
}

void ImageOut::warnAtCapacity(const std::string& what) {
    if (capacity_ == 0 || warned_ || static_cast<unsigned long long>(position()) < capacity_) return;
    warned_ = true;
    warn("%s: end-of-tape warning: the capacity of %llu bytes is reached at block %lld (%s)", shown_.c_str(),
         capacity_, blocks_ - 1, what.c_str());
}

void ImageOut::close() {
    errno = 0;
    const int rc = writer_.close();
    if (rc != 0) throw ToolError(shown_, "cannot close the image " + cause(rc, writer_.lastErrno()));
}

void encodeWork(Slot& s, ORVtapeCodec& codec) {
    const unsigned char* stored = nullptr;
    unsigned char flags2 = 0;
    const int n = codec.encode(s.in.data(), s.inLength, (s.tag & HF2_BZ2) != 0, (s.tag & HF2_SCRAMBLE) != 0,
                               &stored, &flags2);
    s.rc = n;
    if (n < 0) return;  // the writer refuses the block the same way; the consumer reports it
    s.out.resize(std::max<size_t>(s.out.size(), static_cast<size_t>(n)));
    std::copy(stored, stored + n, s.out.begin());
    s.outLength = static_cast<unsigned>(n);
    s.outFlags2 = flags2;
}

}  // namespace orvtool
