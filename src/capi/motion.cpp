// C interface: data transfer and motion.  Arguments pass through unchanged.
#include "handle.h"

using orv::tapeOf;

extern "C" {

int orvTapeWrite(orvTapeHandle tape, const void* data, unsigned int length) {
    return tape ? tapeOf(tape)->write(data, length) : -1;
}
int orvTapeWTM(orvTapeHandle tape, unsigned int count) { return tape ? tapeOf(tape)->wtm(count) : -1; }
int orvTapeRead(orvTapeHandle tape, void* buffer, unsigned int size) {
    return tape ? tapeOf(tape)->read(buffer, size) : -1;
}
int orvTapeFSF(orvTapeHandle tape, unsigned int count) { return tape ? tapeOf(tape)->fsf(count) : -1; }
int orvTapeFSR(orvTapeHandle tape, unsigned int count) { return tape ? tapeOf(tape)->fsr(count) : -1; }
int orvTapeReadBkwd(orvTapeHandle tape, void* buffer, unsigned int size) {
    return tape ? tapeOf(tape)->readBkwd(buffer, size) : -1;
}
int orvTapeBSF(orvTapeHandle tape, unsigned int count) { return tape ? tapeOf(tape)->bsf(count) : -1; }
int orvTapeBSR(orvTapeHandle tape, unsigned int count) { return tape ? tapeOf(tape)->bsr(count) : -1; }
int orvTapeLocate(orvTapeHandle tape, int blockNumber) {
    return tape ? tapeOf(tape)->locate(blockNumber) : -1;
}

}  // extern "C"
