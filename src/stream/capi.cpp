// C interface of the streaming reader, writer and codec: each handle is the
// C++ object behind an opaque pointer, every function tolerates null, and
// each does exactly what the method of the same name does (no argument is
// adjusted here, so the two faces cannot drift apart).
#include "orvTapeStream.h"

namespace {
ORVtapeReader* readerOf(orvTapeReaderHandle h) { return reinterpret_cast<ORVtapeReader*>(h); }
ORVtapeWriter* writerOf(orvTapeWriterHandle h) { return reinterpret_cast<ORVtapeWriter*>(h); }
ORVtapeCodec* codecOf(orvTapeCodecHandle h) { return reinterpret_cast<ORVtapeCodec*>(h); }
constexpr int kNoHandle = ORVTAPE_ERR_ARGUMENT;
}  // namespace

extern "C" {

const char* orvTapeResultMessage(int result) {
    if (result >= 0) return "done";
    switch (result) {
    case ORVTAPE_END: return "end of data";
    case ORVTAPE_ERR_ARGUMENT: return "invalid argument";
    case ORVTAPE_ERR_NOT_OPEN: return "no image is open";
    case ORVTAPE_ERR_IO: return "a system call failed";
    case ORVTAPE_ERR_TRUNCATED: return "the image ends inside a block";
    case ORVTAPE_ERR_FLAGS: return "a header carries undefined flag bits";
    case ORVTAPE_ERR_CHAIN: return "the header chain is broken";
    case ORVTAPE_ERR_DECODE: return "a stored payload does not decode";
    case ORVTAPE_ERR_TOO_LONG: return "the block is longer than its limit";
    case ORVTAPE_ERR_INCOMPLETE: return "the stored block is not held whole";
    case ORVTAPE_ERR_STOPPED: return "the writer stopped after a failed write";
    default: return "unknown result";
    }
}

orvTapeReaderHandle orvTapeReaderCreate(void) { return reinterpret_cast<orvTapeReaderHandle>(new ORVtapeReader()); }
void orvTapeReaderDestroy(orvTapeReaderHandle r) { delete readerOf(r); }
int orvTapeReaderOpen(orvTapeReaderHandle r, const char* path) { return r ? readerOf(r)->open(path) : kNoHandle; }
int orvTapeReaderOpenFd(orvTapeReaderHandle r, int fd) { return r ? readerOf(r)->openFd(fd) : kNoHandle; }
int orvTapeReaderClose(orvTapeReaderHandle r) { return r ? readerOf(r)->close() : kNoHandle; }
void orvTapeReaderSetMaxRecordSize(orvTapeReaderHandle r, int size) {
    if (r) readerOf(r)->setMaxRecordSize(size);
}
void orvTapeReaderSetBlockLimit(orvTapeReaderHandle r, long long limit) {
    if (r) readerOf(r)->setBlockLimit(limit);
}
int orvTapeReaderNext(orvTapeReaderHandle r, orvTapeBlockInfo* block, orvTapeReadMode mode) {
    return r ? readerOf(r)->next(block, mode) : kNoHandle;
}
int orvTapeReaderRewind(orvTapeReaderHandle r) { return r ? readerOf(r)->rewind() : kNoHandle; }
int orvTapeReaderSeek(orvTapeReaderHandle r, long long offset, long long blockNumber, long long fileNumber) {
    return r ? readerOf(r)->seek(offset, blockNumber, fileNumber) : kNoHandle;
}
int orvTapeReaderValidate(orvTapeReaderHandle r, orvTapeChainReport* report) {
    return r ? readerOf(r)->validate(report) : kNoHandle;
}
int orvTapeReaderGetLastErrno(orvTapeReaderHandle r) { return r ? readerOf(r)->lastErrno() : 0; }

orvTapeWriterHandle orvTapeWriterCreate(void) { return reinterpret_cast<orvTapeWriterHandle>(new ORVtapeWriter()); }
void orvTapeWriterDestroy(orvTapeWriterHandle w) { delete writerOf(w); }
int orvTapeWriterOpen(orvTapeWriterHandle w, const char* path, long long offset, unsigned int prevLen) {
    return w ? writerOf(w)->open(path, offset, prevLen) : kNoHandle;
}
int orvTapeWriterOpenFd(orvTapeWriterHandle w, int fd, long long offset, unsigned int prevLen) {
    return w ? writerOf(w)->openFd(fd, offset, prevLen) : kNoHandle;
}
void orvTapeWriterSetMaxSegLen(orvTapeWriterHandle w, unsigned int length) {
    if (w) writerOf(w)->setMaxSegLen(length);
}
void orvTapeWriterSetCompress(orvTapeWriterHandle w, bool on) {
    if (w) writerOf(w)->setCompress(on);
}
void orvTapeWriterSetEncrypt(orvTapeWriterHandle w, bool on) {
    if (w) writerOf(w)->setEncrypt(on);
}
void orvTapeWriterSetSync(orvTapeWriterHandle w, bool on) {
    if (w) writerOf(w)->setSync(on);
}
void orvTapeWriterSetMaxRecordSize(orvTapeWriterHandle w, int size) {
    if (w) writerOf(w)->setMaxRecordSize(size);
}
int orvTapeWriterWrite(orvTapeWriterHandle w, const void* data, unsigned int length) {
    return w ? writerOf(w)->write(data, length) : kNoHandle;
}
int orvTapeWriterWTM(orvTapeWriterHandle w, unsigned int count) { return w ? writerOf(w)->wtm(count) : kNoHandle; }
int orvTapeWriterWriteStored(orvTapeWriterHandle w, const void* stored, unsigned int storedLength,
                             unsigned char flags2) {
    return w ? writerOf(w)->writeStored(stored, storedLength, flags2) : kNoHandle;
}
int orvTapeWriterWriteBlock(orvTapeWriterHandle w, const orvTapeBlockInfo* block) {
    return w ? writerOf(w)->writeBlock(block) : kNoHandle;
}
int orvTapeWriterFlush(orvTapeWriterHandle w) { return w ? writerOf(w)->flush() : kNoHandle; }
int orvTapeWriterClose(orvTapeWriterHandle w) { return w ? writerOf(w)->close() : kNoHandle; }
long long orvTapeWriterGetPosition(orvTapeWriterHandle w) { return w ? writerOf(w)->position() : -1; }
int orvTapeWriterGetLastErrno(orvTapeWriterHandle w) { return w ? writerOf(w)->lastErrno() : 0; }

orvTapeCodecHandle orvTapeCodecCreate(void) { return reinterpret_cast<orvTapeCodecHandle>(new ORVtapeCodec()); }
void orvTapeCodecDestroy(orvTapeCodecHandle c) { delete codecOf(c); }
void orvTapeCodecSetMaxRecordSize(orvTapeCodecHandle c, int size) {
    if (c) codecOf(c)->setMaxRecordSize(size);
}
int orvTapeCodecEncode(orvTapeCodecHandle c, const void* data, unsigned int length, bool compress, bool scramble,
                       const unsigned char** stored, unsigned char* flags2) {
    return c ? codecOf(c)->encode(data, length, compress, scramble, stored, flags2) : kNoHandle;
}
int orvTapeCodecDecode(orvTapeCodecHandle c, const void* stored, unsigned int storedLength, unsigned char flags2,
                       const unsigned char** data, unsigned int* dataLength) {
    return c ? codecOf(c)->decode(stored, storedLength, flags2, data, dataLength) : kNoHandle;
}
int orvTapeCodecLength(orvTapeCodecHandle c, const void* stored, unsigned int storedLength, unsigned char flags2) {
    return c ? codecOf(c)->length(stored, storedLength, flags2) : kNoHandle;
}

}  // extern "C"
