// decode.cpp - decoding a stored walk on the pool's workers.
#include "image/decode.h"


#include <ORVtape.h>

#include <cstring>

namespace orvtool {

namespace {
bool transformed(const Block& b) { return b.kind == Kind::Data && flags2Of(b) != 0; }

// The decoded block a collected slot holds.
void blockOf(const Slot& s, Block& b) {
    b = Block{};
    b.kind = s.length == 0 ? Kind::Mark : Kind::Data;
    b.length = static_cast<std::size_t>(s.length);
    b.data = s.transform ? s.out.data() : s.in.data();
    describeForm(s.inForm, b);
    b.offset = s.offset;
    b.number = s.number;
}
}  // namespace

std::unique_ptr<WorkerState> makeCodecState() { return std::make_unique<CodecState>(); }

void describeForm(unsigned char flags2, Block& b) {
    b.packing = flags2 & HF2_BZ2 ? Packing::Bzip2 : Packing::None;
    b.scrambled = (flags2 & HF2_SCRAMBLE) != 0;
}

unsigned storedForm(const Block& b, std::vector<unsigned char>& buf, unsigned char& flags2) {
    flags2 = flags2Of(b);
    const unsigned char* from = flags2 ? b.stored : b.data;
    const unsigned n = static_cast<unsigned>(flags2 ? b.storedLength : b.length);
    if (buf.size() < n) buf.resize(n);
    if (n > 0) std::memcpy(buf.data(), from, n);
    return n;
}

void loadSlot(const Block& b, Slot& s) {
    s.length = static_cast<int>(b.length);
    s.offset = b.offset;
    s.number = b.number;
    s.inLength = storedForm(b, s.in, s.inForm);
    s.transform = s.inForm != 0;
}

void throwIfUndecoded(const Slot& s, const BlockWalk& walk) {
    if (!s.inputBad) return;
    Failure f;
    f.code = s.rc;
    f.offset = s.offset;
    f.number = s.number;
    throw ReadError(walk.volume().name(), f, walk.advice());
}

void decodeWork(Slot& s, ORVtapeCodec& codec) {
    // The whole block, as the walk delivers it after raising its record size.
    codec.setMaxRecordSize(s.length);
    const unsigned char* data = nullptr;
    unsigned n = 0;
    const int rc = codec.decode(s.in.data(), s.inLength, s.inForm, &data, &n);
    s.rc = rc < 0 ? ORVTAPE_ERR_DECODE : rc;  // as the reader says of a payload that does not decode
    s.inputBad = rc < 0;
    if (rc < 0) return;
    if (s.out.size() < n) s.out.resize(n);
    std::memcpy(s.out.data(), data, n);
    s.outLength = n;
    s.outForm = 0;
}

ParallelDecode::ParallelDecode(BlockWalk& walk, int jobs, const Common& run)
    : walk_(walk), pipe_(jobs, run, makeCodecState, withCodec(decodeWork)), fill_([this](Slot& s) {
          Block b;
          if (!walk_.next(b)) return false;
          loadSlot(b, s);
          return true;
      }) {}

bool ParallelDecode::next(Block& b) {
    if (pipe_.inFlight() == 0 && more_) {
        if (!(more_ = walk_.next(b))) return false;
        if (pipe_.passesStraight(transformed(b))) return true;  // straight from the reader's window
        Slot& s = *pipe_.acquire();
        loadSlot(b, s);
        pipe_.submit(s);
    }
    if (more_) more_ = pipe_.feed(fill_);
    const Slot* s = pipe_.collect();
    if (!s) return false;
    throwIfUndecoded(*s, walk_);
    blockOf(*s, b);
    return true;
}

}  // namespace orvtool
