// The header chain rule of the validating walk for one header at a time, so
// that the reader's validate, the writer's search for the end and tools that
// walk a chain themselves all judge headers by the drive's own rules.
#include "orvTapeStream.h"

#include "../tape/format.h"

extern "C" int orvTapeChainCheck(orvTapeChainState* state, const unsigned char* header, int* driveCode) {
    if (driveCode) *driveCode = 0;
    if (state == nullptr || header == nullptr) return ORVTAPE_ERR_ARGUMENT;
    if (orv::hasReservedBits(header)) {
        if (driveCode) *driveCode = -3;  // as the drive's header read refuses it
        return ORVTAPE_ERR_FLAGS;
    }
    orv::WalkState walk;
    walk.expectedPrev = state->resync ? orv::prevLenOf(header) : state->prevLen;
    if (state->resync && !(header[4] & HF1_TM) && orv::checkFirstHeader(header) != 0) {
        if (driveCode) *driveCode = -10;  // as the reader refuses such a block start
        return ORVTAPE_ERR_CHAIN;
    }
    walk.beginsBlock = !state->inBlock;
    walk.blockBits = state->blockFlags2;
    if (const int rc = orv::walkHeader(header, walk, nullptr, nullptr)) {
        if (driveCode) *driveCode = rc;
        return ORVTAPE_ERR_CHAIN;
    }
    state->prevLen = walk.expectedPrev;
    state->blockFlags2 = walk.blockBits;
    state->inBlock = !walk.beginsBlock;
    state->resync = false;
    return ORVTAPE_OK;
}
