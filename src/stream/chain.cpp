// The header chain rule of the validating walk for one header at a time, so
// that the reader's validate, the writer's search for the end and tools that
// walk a chain themselves all judge headers by the drive's own rules.
#include "chain.h"

extern "C" int orvTapeChainCheck(orvTapeChainState* state, const unsigned char* header, int* driveCode) {
    int code = 0;
    const int rc = state && header ? orv::chainCheck(*state, header, code) : ORVTAPE_ERR_ARGUMENT;
    if (driveCode) *driveCode = code;
    return rc;
}
