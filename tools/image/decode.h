// decode.h - the blocks of a stored walk, decoded, with the codec work on
// the pool's workers.
//
// A plain block comes straight from the reader's window while nothing is
// being decoded: no slot, no copy.  From a transformed block on, the pool
// reads ahead so that its workers decode in parallel, until it runs empty
// again.  Read errors and blocks that do not decode surface in block order.
#ifndef ORVTAPE_TOOL_IMAGE_DECODE_H
#define ORVTAPE_TOOL_IMAGE_DECODE_H

#include "image/walk.h"
#include "base/pool.h"

#include <orvTapeStream.h>

#include <functional>

namespace orvtool {

// A pool worker's state in the image wing: its own codec.
struct CodecState : WorkerState {
    ORVtapeCodec codec;
};
// The factory of CodecState for a Pipeline.
std::unique_ptr<WorkerState> makeCodecState();
// The work f on a slot with the worker's codec, for a Pipeline.
inline Pipeline::Work withCodec(void (*f)(Slot&, ORVtapeCodec&)) {
    return [f](Slot& s, WorkerState& w) { f(s, static_cast<CodecState&>(w).codec); };
}

// The pool's work on a slot holding a stored block: its data into out, or
// s.rc ORVTAPE_ERR_DECODE when the payload does not decode.
void decodeWork(Slot& s, ORVtapeCodec& codec);
// A block's stored form (a plain block's data) into buf, grown, never
// shrunk: its length there; flags2 receives its transforms (0: plain).
unsigned storedForm(const Block& b, std::vector<unsigned char>& buf, unsigned char& flags2);
// The slot's form (its inForm or outForm) as a Block's packing and scrambling.
void describeForm(unsigned char flags2, Block& b);
// A stored block of a walk into s: its place, its length, its stored form
// and flags2; s.transform set for a transformed one.
void loadSlot(const Block& b, Slot& s);
// Throws the read error of a slot whose decoding failed, in walk's words.
void throwIfUndecoded(const Slot& s, const BlockWalk& walk);

class ParallelDecode : public BlockSource {
public:
    // walk reads in ReadMode::Stored; run says whether to note threads refused.
    ParallelDecode(BlockWalk& walk, int jobs, const Common& run);
    // The next block, decoded, valid until the next call; false at the end
    // of the data.  Throws ReadError, with the walk's advice appended.
    bool next(Block& b) override;
    long long consumed() const override { return walk_.consumed(); }

private:
    BlockWalk& walk_;
    Pipeline pipe_;
    std::function<bool(Slot&)> fill_;
    bool more_ = true;  // the walk has not reached the end of the data
};

}  // namespace orvtool

#endif
