// C interface of the streaming reader, writer and codec: each handle is the
// C++ object behind an opaque pointer, and every function tolerates null.
#include "orvTapeStream.h"

namespace {
ORVtapeReader* readerOf(orvTapeReaderHandle h) { return reinterpret_cast<ORVtapeReader*>(h); }
ORVtapeWriter* writerOf(orvTapeWriterHandle h) { return reinterpret_cast<ORVtapeWriter*>(h); }
ORVtapeCodec* codecOf(orvTapeCodecHandle h) { return reinterpret_cast<ORVtapeCodec*>(h); }
}  // namespace

extern "C" {

orvTapeReaderHandle orvTapeReaderCreate(void) { return reinterpret_cast<orvTapeReaderHandle>(new ORVtapeReader()); }
void orvTapeReaderDestroy(orvTapeReaderHandle r) { delete readerOf(r); }
int orvTapeReaderOpen(orvTapeReaderHandle r, const char* path) { return r ? readerOf(r)->open(path) : -1; }
int orvTapeReaderClose(orvTapeReaderHandle r) { return r ? readerOf(r)->close() : -1; }
void orvTapeReaderSetMaxRecordSize(orvTapeReaderHandle r, int size) {
    if (r) readerOf(r)->setMaxRecordSize(size);
}
int orvTapeReaderNext(orvTapeReaderHandle r, orvTapeBlockInfo* block, orvTapeReadMode mode) {
    return r ? readerOf(r)->next(block, mode) : -1;
}
int orvTapeReaderRewind(orvTapeReaderHandle r) { return r ? readerOf(r)->rewind() : -1; }
int orvTapeReaderSeek(orvTapeReaderHandle r, long long offset, int blockNumber, int fileNumber) {
    return r ? readerOf(r)->seek(offset, blockNumber, fileNumber) : -1;
}
int orvTapeReaderValidate(orvTapeReaderHandle r, long long* lastHdrOffset, void* hdrOut, bool* multiSeg,
                          bool* compressed) {
    return r ? readerOf(r)->validate(lastHdrOffset, hdrOut, multiSeg, compressed) : -1;
}
int orvTapeReaderGetLastErrno(orvTapeReaderHandle r) { return r ? readerOf(r)->lastErrno() : -1; }

orvTapeWriterHandle orvTapeWriterCreate(void) { return reinterpret_cast<orvTapeWriterHandle>(new ORVtapeWriter()); }
void orvTapeWriterDestroy(orvTapeWriterHandle w) { delete writerOf(w); }
int orvTapeWriterOpen(orvTapeWriterHandle w, const char* path, long long offset, unsigned int prevLen) {
    return w ? writerOf(w)->open(path, offset, prevLen) : -1;
}
void orvTapeWriterSetMaxSegLen(orvTapeWriterHandle w, unsigned short length) {
    if (w) writerOf(w)->setMaxSegLen(length == 0 ? 65535 : length);
}
void orvTapeWriterSetCompress(orvTapeWriterHandle w, bool on) { if (w) writerOf(w)->setCompress(on); }
void orvTapeWriterSetEncrypt(orvTapeWriterHandle w, bool on) { if (w) writerOf(w)->setEncrypt(on); }
void orvTapeWriterSetSync(orvTapeWriterHandle w, bool on) { if (w) writerOf(w)->setSync(on); }
void orvTapeWriterSetMaxRecordSize(orvTapeWriterHandle w, int size) {
    if (w) writerOf(w)->setMaxRecordSize(size);
}
int orvTapeWriterWrite(orvTapeWriterHandle w, const void* data, unsigned int length) {
    return w ? writerOf(w)->write(data, length) : -1;
}
int orvTapeWriterWTM(orvTapeWriterHandle w, unsigned int count) { return w ? writerOf(w)->wtm(count) : -1; }
int orvTapeWriterWriteStored(orvTapeWriterHandle w, const void* stored, unsigned int storedLength,
                             unsigned char flags2) {
    return w ? writerOf(w)->writeStored(stored, storedLength, flags2) : -1;
}
int orvTapeWriterWriteBlock(orvTapeWriterHandle w, const orvTapeBlockInfo* block) {
    return w ? writerOf(w)->writeBlock(block) : -1;
}
int orvTapeWriterClose(orvTapeWriterHandle w) { return w ? writerOf(w)->close() : -1; }
long long orvTapeWriterGetPosition(orvTapeWriterHandle w) { return w ? writerOf(w)->position() : -1; }
int orvTapeWriterGetLastErrno(orvTapeWriterHandle w) { return w ? writerOf(w)->lastErrno() : -1; }

orvTapeCodecHandle orvTapeCodecCreate(void) { return reinterpret_cast<orvTapeCodecHandle>(new ORVtapeCodec()); }
void orvTapeCodecDestroy(orvTapeCodecHandle c) { delete codecOf(c); }
void orvTapeCodecSetMaxRecordSize(orvTapeCodecHandle c, int size) {
    if (c) codecOf(c)->setMaxRecordSize(size);
}
int orvTapeCodecEncode(orvTapeCodecHandle c, const void* data, unsigned int length, bool compress, bool scramble,
                       const unsigned char** stored, unsigned char* flags2) {
    return c ? codecOf(c)->encode(data, length, compress, scramble, stored, flags2) : -1;
}
int orvTapeCodecDecode(orvTapeCodecHandle c, const void* stored, unsigned int storedLength, unsigned char flags2,
                       const unsigned char** data, unsigned int* dataLength) {
    return c ? codecOf(c)->decode(stored, storedLength, flags2, data, dataLength) : -1;
}

}  // extern "C"
