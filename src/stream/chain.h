// chain.h - the header chain rule for one header at a time, inline, so that
// the reader's walk over every header of an image pays no call for it; the
// exported orvTapeChainCheck is this same function.
#ifndef ORVTAPE_SRC_STREAM_CHAIN_H
#define ORVTAPE_SRC_STREAM_CHAIN_H

#include "orvTapeStream.h"

#include "../tape/format.h"

namespace orv {

inline int chainCheck(orvTapeChainState& state, const unsigned char* header, int& driveCode) {
    driveCode = 0;
    if (hasReservedBits(header)) {
        driveCode = -3;  // as the drive's header read refuses it
        return ORVTAPE_ERR_FLAGS;
    }
    WalkState walk;
    walk.expectedPrev = state.resync ? prevLenOf(header) : state.prevLen;
    if (state.resync && !(header[4] & HF1_TM) && checkFirstHeader(header) != 0) {
        driveCode = -10;  // as the reader refuses such a block start
        return ORVTAPE_ERR_CHAIN;
    }
    walk.beginsBlock = !state.inBlock;
    walk.blockBits = state.blockFlags2;
    if (const int rc = walkHeader(header, walk, nullptr, nullptr)) {
        driveCode = rc;
        return ORVTAPE_ERR_CHAIN;
    }
    state.prevLen = walk.expectedPrev;
    state.blockFlags2 = walk.blockBits;
    state.inBlock = !walk.beginsBlock;
    state.resync = false;
    return ORVTAPE_OK;
}

}  // namespace orv

#endif
