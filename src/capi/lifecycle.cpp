// C interface: handles, mounting, settings and status queries.  Every
// function tolerates a null handle and then returns a fixed value.
#include "handle.h"

using orv::tapeOf;

extern "C" {

orvTapeHandle orvTapeCreate(void) { return new ORVtape(); }

void orvTapeDestroy(orvTapeHandle tape) { delete tapeOf(tape); }

int orvTapeOpen(orvTapeHandle tape, const char* path, bool readOnly) {
    return tape ? tapeOf(tape)->open(path, readOnly) : -1;
}

int orvTapeClose(orvTapeHandle tape) { return tape ? tapeOf(tape)->close() : -1; }
int orvTapeErase(orvTapeHandle tape) { return tape ? tapeOf(tape)->erase() : -1; }
int orvTapeREW(orvTapeHandle tape) { return tape ? tapeOf(tape)->rew() : -1; }
int orvTapeRUN(orvTapeHandle tape) { return tape ? tapeOf(tape)->run() : -1; }

int orvTapeGetBlockID(orvTapeHandle tape) {
    if (!tape) return -1;
    return tapeOf(tape)->fd >= 0 ? tapeOf(tape)->blockID : 0;
}

int orvTapeGetFileNumber(orvTapeHandle tape) {
    if (!tape) return -1;
    return tapeOf(tape)->fd >= 0 ? tapeOf(tape)->fileNumber : 0;
}

int orvTapeGetLastErrno(orvTapeHandle tape) { return tape ? tapeOf(tape)->lastErrno : -1; }
int orvTapeGetLastRC(orvTapeHandle tape) { return tape ? tapeOf(tape)->lastRC : -1; }
int orvTapeGetMaxSegLen(orvTapeHandle tape) { return tape ? tapeOf(tape)->maxSegLen : -1; }

void orvTapeSetMaxSegLen(orvTapeHandle tape, unsigned short length) {
    if (tape) tapeOf(tape)->maxSegLen = length == 0 ? 65535 : length;
}

unsigned long long orvTapeGetMaxTapeLen(orvTapeHandle tape) {
    return tape ? tapeOf(tape)->maxTapeLen : ~0ULL;
}

void orvTapeSetMaxTapeLen(orvTapeHandle tape, unsigned long long length) {
    if (!tape) return;
    ORVtape* t = tapeOf(tape);
    t->maxTapeLen = length;
    t->eot = length <= static_cast<unsigned long long>(t->curPos);
}

bool orvTapeGetSync(orvTapeHandle tape) { return tape ? tapeOf(tape)->sync : true; }
void orvTapeSetSync(orvTapeHandle tape, bool on) { if (tape) tapeOf(tape)->sync = on; }
void orvTapeSetCompress(orvTapeHandle tape, bool on) { if (tape) tapeOf(tape)->compressOn = on; }
void orvTapeSetEncrypt(orvTapeHandle tape, bool on) { if (tape) tapeOf(tape)->encryptOn = on; }
bool orvTapeIsCompressed(orvTapeHandle tape) { return tape ? tapeOf(tape)->compressOn : false; }
bool orvTapeIsEncrypted(orvTapeHandle tape) { return tape ? tapeOf(tape)->encryptOn : false; }
bool orvTapeIsBOT(orvTapeHandle tape) { return tape ? tapeOf(tape)->bot : false; }
bool orvTapeIsEOT(orvTapeHandle tape) { return tape ? tapeOf(tape)->eot : true; }
bool orvTapeIsReady(orvTapeHandle tape) { return tape ? tapeOf(tape)->fd >= 0 : false; }
bool orvTapeIsTPMK(orvTapeHandle tape) { return tape ? tapeOf(tape)->tapemark : false; }
bool orvTapeIsWrtProt(orvTapeHandle tape) { return tape ? tapeOf(tape)->wrtProt : true; }

}  // extern "C"
