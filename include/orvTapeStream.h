/**
 * @file orvTapeStream.h
 * @brief Streaming access to whole volumes: a sequential reader, a
 *        sequential writer and a block codec, in C and C++.
 *
 * The drive interface (orvTapeItf.h, ORVtape.h) does exactly the system calls
 * of each tape operation.  Work over a whole volume goes faster through these
 * objects, which move the image through large buffers:
 *
 * - the reader walks an image from the load point, block by block, and gives
 *   each block's header facts, its stored payload and, on request, its
 *   decoded data.  It judges a block as ORVtape::fsr or ORVtape::read (into a
 *   buffer of the record size) does, with the same result codes, and its
 *   validate() is ORVtape::validate's walk with the same results and offsets;
 * - the writer appends blocks and tapemarks and leaves byte for byte the
 *   image that ORVtape::write and wtm would leave from the same position
 *   with the same settings; it writes through a buffer and truncates the
 *   image once, at close;
 * - the codec turns a block into its stored form and back.  It owns its work
 *   buffers and shares nothing, so each thread may use a codec of its own.
 *
 * Each object is used by one thread at a time.  The C functions take opaque
 * handles and accept a null handle, returning -1 (or false, 0, null) without
 * doing anything.  Pointers that an object hands out stay valid until its
 * next call.  The only exception is std::bad_alloc when memory runs out.
 */
#ifndef ORV_TAPE_STREAM_H
#define ORV_TAPE_STREAM_H

#include "orvTapeItf.h"

#ifdef __cplusplus
extern "C" {
#endif

/** One block as the reader met it. */
typedef struct orvTapeBlockInfo {
    long long offset;            /**< offset of the block's first header */
    long long end;               /**< offset just after the block */
    int blockNumber;             /**< blocks and tapemarks before it since the load point */
    int fileNumber;              /**< tapemarks before it since the load point */
    int length;                  /**< what a read returns: the block's length, 0 for a tapemark */
    unsigned int storedLength;   /**< payload bytes in the image; only storedValid of them are at stored */
    unsigned int segments;       /**< headers of the block (1 for a tapemark) */
    unsigned int lastSegment;    /**< curLen of its last header, the prevLen of what follows (0 after a tapemark) */
    unsigned char flags2;        /**< flags2 of its first header (the library writes 0x00, 0x81, 0x82, 0x83) */
    bool tapemark;               /**< the block is a tapemark */
    const unsigned char* stored; /**< the stored payload as far as it was read (see orvTapeReadMode), else null */
    const unsigned char* data;   /**< the block's data when read or decoded, else null */
    unsigned int dataLength;     /**< bytes at data: length, or the record size when the block is longer */
    /**
     * Bytes at stored: storedLength when the reader holds the payload whole,
     * fewer for a plain block longer than the record size (its beginning
     * only), 0 when stored is null.  Copy at most this many.
     */
    unsigned int storedValid;
} orvTapeBlockInfo;

/** How much of a block orvTapeReaderNext reads, and so which drive call it agrees with. */
typedef enum orvTapeReadMode {
    /** As ORVtape::fsr passes a block: a plain payload is not read, a transformed one is gathered for its length. */
    ORVTAPE_READ_PASS = 0,
    /** As ORVtape::read into a buffer of the record size, without decompressing: data is set for plain blocks. */
    ORVTAPE_READ_STORED = 1,
    /** As ORVtape::read into a buffer of the record size: data holds the block's beginning, up to that size. */
    ORVTAPE_READ_DECODE = 2
} orvTapeReadMode;

/** Opaque handle of one reader; from orvTapeReaderCreate(), freed by orvTapeReaderDestroy(). */
typedef struct orvTapeReaderObject* orvTapeReaderHandle;
/** Opaque handle of one writer; from orvTapeWriterCreate(), freed by orvTapeWriterDestroy(). */
typedef struct orvTapeWriterObject* orvTapeWriterHandle;
/** Opaque handle of one codec; from orvTapeCodecCreate(), freed by orvTapeCodecDestroy(). */
typedef struct orvTapeCodecObject* orvTapeCodecHandle;

/* ---- Reader ------------------------------------------------------------- */

/** A reader with no image open (never null). */
ORVTAPE_API orvTapeReaderHandle orvTapeReaderCreate(void);
/** Closes the image and frees the reader. */
ORVTAPE_API void orvTapeReaderDestroy(orvTapeReaderHandle reader);
/** Opens the image at path read-only, at the load point: 0, or -1 (errno in orvTapeReaderGetLastErrno). */
ORVTAPE_API int orvTapeReaderOpen(orvTapeReaderHandle reader, const char* path);
/** Closes the image: 0, or -1. */
ORVTAPE_API int orvTapeReaderClose(orvTapeReaderHandle reader);
/** Raises the largest block length expected (at least 4 MiB), as ORVtape::setMaxRecordSize. */
ORVTAPE_API void orvTapeReaderSetMaxRecordSize(orvTapeReaderHandle reader, int size);
/**
 * Reads the next block into *block, as far as mode says.  Returns its
 * length, 0 for a tapemark, or -1 (no image, null block), -2 (end of data or
 * read error), -3 (reserved flag bits), -10 (broken block), -12 (payload
 * short or not decodable); a failure leaves the reader at the block, with
 * block->offset set to it.  A read error is saved in
 * orvTapeReaderGetLastErrno and fails only the call that met it: the next
 * call (or validate) reads the image afresh.
 */
ORVTAPE_API int orvTapeReaderNext(orvTapeReaderHandle reader, orvTapeBlockInfo* block, orvTapeReadMode mode);
/** Back to the load point, counters 0: 0, or -1 with no image. */
ORVTAPE_API int orvTapeReaderRewind(orvTapeReaderHandle reader);
/**
 * Goes to a block boundary the caller knows (the offset of a block met
 * before, say, to read it again after raising the record size), with the
 * counters to go on from: 0, or -1 (no image, negative offset or counter).
 */
ORVTAPE_API int orvTapeReaderSeek(orvTapeReaderHandle reader, long long offset, int blockNumber, int fileNumber);
/** The header chain walk of ORVtape::validate, same results and outputs; the block walk stays where it was. */
ORVTAPE_API int orvTapeReaderValidate(orvTapeReaderHandle reader, long long* lastHdrOffset, void* hdrOut,
                                      bool* multiSeg, bool* compressed);
/** errno saved by the last failure, 0 when none. */
ORVTAPE_API int orvTapeReaderGetLastErrno(orvTapeReaderHandle reader);

/* ---- Writer ------------------------------------------------------------- */

/** A writer with no image open and the drive's default settings, which stay until changed (never null). */
ORVTAPE_API orvTapeWriterHandle orvTapeWriterCreate(void);
/** Closes the image as orvTapeWriterClose does and frees the writer. */
ORVTAPE_API void orvTapeWriterDestroy(orvTapeWriterHandle writer);
/**
 * Opens the image at path (created when missing) to write from offset on,
 * where the segment or tapemark before has the curLen prevLen (0 at the load
 * point).  Its bytes change only when blocks come.  0, or -1 (errno kept).
 */
ORVTAPE_API int orvTapeWriterOpen(orvTapeWriterHandle writer, const char* path, long long offset,
                                  unsigned int prevLen);
/** Segment size, 0 meaning 65535; brought into 16..65535 as the drive does. */
ORVTAPE_API void orvTapeWriterSetMaxSegLen(orvTapeWriterHandle writer, unsigned short length);
/** Compress (bzip2) every block written from now on, when that makes it shorter. */
ORVTAPE_API void orvTapeWriterSetCompress(orvTapeWriterHandle writer, bool on);
/** Scramble every block written from now on. */
ORVTAPE_API void orvTapeWriterSetEncrypt(orvTapeWriterHandle writer, bool on);
/** fdatasync once, at close. */
ORVTAPE_API void orvTapeWriterSetSync(orvTapeWriterHandle writer, bool on);
/** Raises the largest block length accepted (at least 4 MiB), as ORVtape::setMaxRecordSize. */
ORVTAPE_API void orvTapeWriterSetMaxRecordSize(orvTapeWriterHandle writer, int size);
/**
 * Appends a block (a tapemark for length 0).  Returns length, or -13 (longer
 * than the maximum record size), -12 (no data), -11 (the image refused bytes:
 * it now ends after the last whole block that reached it, and the writer
 * takes no more).
 */
ORVTAPE_API int orvTapeWriterWrite(orvTapeWriterHandle writer, const void* data, unsigned int length);
/** Appends count tapemarks: 0 or the first failure. */
ORVTAPE_API int orvTapeWriterWTM(orvTapeWriterHandle writer, unsigned int count);
/**
 * Appends a block already in stored form (from a codec) with its flags2:
 * storedLength or a failure.  stored must hold storedLength bytes; a block
 * from a reader goes through orvTapeWriterWriteBlock, which checks that.
 */
ORVTAPE_API int orvTapeWriterWriteStored(orvTapeWriterHandle writer, const void* stored, unsigned int storedLength,
                                         unsigned char flags2);
/**
 * Appends a block as a reader described it, in its stored form: a tapemark
 * (0), or the stored payload with its flags2 (storedLength or a failure as
 * for orvTapeWriterWriteStored).  A block the reader did not hold whole
 * (storedValid below storedLength: read in ORVTAPE_READ_PASS, or plain and
 * longer than the reader's record size) is refused with -12 and nothing is
 * written; so is a null block.
 */
ORVTAPE_API int orvTapeWriterWriteBlock(orvTapeWriterHandle writer, const orvTapeBlockInfo* block);
/**
 * Writes out what is buffered, truncates the image after the last block,
 * flushes it to storage when sync is set, and closes it: 0, or -11 (a write
 * or the truncation failed), -1 (the flush or close failed).
 */
ORVTAPE_API int orvTapeWriterClose(orvTapeWriterHandle writer);
/** Offset after the last block accepted. */
ORVTAPE_API long long orvTapeWriterGetPosition(orvTapeWriterHandle writer);
/** errno saved by the last failure, 0 when none. */
ORVTAPE_API int orvTapeWriterGetLastErrno(orvTapeWriterHandle writer);

/* ---- Codec -------------------------------------------------------------- */

/** A codec (never null). */
ORVTAPE_API orvTapeCodecHandle orvTapeCodecCreate(void);
/** Frees the codec. */
ORVTAPE_API void orvTapeCodecDestroy(orvTapeCodecHandle codec);
/** Raises the largest block length (at least 4 MiB): encode refuses longer blocks, decode delivers at most this. */
ORVTAPE_API void orvTapeCodecSetMaxRecordSize(orvTapeCodecHandle codec, int size);
/**
 * The stored form of a block as the drive writes it with these settings:
 * compressed when that makes it shorter, then scrambled.  Returns its length
 * (*stored and *flags2 receive the bytes and the flags2 of its headers), or
 * -13 (longer than the maximum record size) or -12 (no data).
 */
ORVTAPE_API int orvTapeCodecEncode(orvTapeCodecHandle codec, const void* data, unsigned int length, bool compress,
                                   bool scramble, const unsigned char** stored, unsigned char* flags2);
/**
 * The block behind a stored payload with the given flags2.  Returns the
 * block's length (*data and *dataLength receive the decoded bytes, at most
 * the maximum record size), or -10 (flags2 not a block's) or -12 (not
 * decodable).
 */
ORVTAPE_API int orvTapeCodecDecode(orvTapeCodecHandle codec, const void* stored, unsigned int storedLength,
                                   unsigned char flags2, const unsigned char** data, unsigned int* dataLength);

#ifdef __cplusplus
}  // extern "C"

/** Sequential reader of a whole image; the C functions orvTapeReader* forward to it. */
class ORVTAPE_API ORVtapeReader {
public:
    /** A reader with no image open. */
    ORVtapeReader();
    /** Closes the image. */
    ~ORVtapeReader();
    ORVtapeReader(const ORVtapeReader&) = delete;
    ORVtapeReader& operator=(const ORVtapeReader&) = delete;
    /** See orvTapeReaderOpen(). */
    int open(const char* path);
    /** See orvTapeReaderClose(). */
    int close();
    /** See orvTapeReaderSetMaxRecordSize(). */
    void setMaxRecordSize(int size);
    /** See orvTapeReaderNext(). */
    int next(orvTapeBlockInfo* block, orvTapeReadMode mode);
    /** See orvTapeReaderRewind(). */
    int rewind();
    /** See orvTapeReaderSeek(). */
    int seek(long long offset, int blockNumber, int fileNumber);
    /** See orvTapeReaderValidate(). */
    int validate(long long* lastHdrOffset, void* hdrOut, bool* multiSeg, bool* compressed);
    /** See orvTapeReaderGetLastErrno(). */
    int lastErrno() const;

private:
    struct Impl;
    Impl* impl;
};

/** Sequential writer of an image; the C functions orvTapeWriter* forward to it. */
class ORVTAPE_API ORVtapeWriter {
public:
    /** A writer with no image open and the drive's default settings. */
    ORVtapeWriter();
    /** Closes the image as close() does. */
    ~ORVtapeWriter();
    ORVtapeWriter(const ORVtapeWriter&) = delete;
    ORVtapeWriter& operator=(const ORVtapeWriter&) = delete;
    /** See orvTapeWriterOpen(). */
    int open(const char* path, long long offset, unsigned int prevLen);
    /** Segment size, brought into 16..65535 by the next block as the drive does. */
    void setMaxSegLen(int length);
    /** See orvTapeWriterSetCompress(). */
    void setCompress(bool on);
    /** See orvTapeWriterSetEncrypt(). */
    void setEncrypt(bool on);
    /** See orvTapeWriterSetSync(). */
    void setSync(bool on);
    /** See orvTapeWriterSetMaxRecordSize(). */
    void setMaxRecordSize(int size);
    /** See orvTapeWriterWrite(). */
    int write(const void* data, unsigned int length);
    /** See orvTapeWriterWTM(). */
    int wtm(unsigned int count);
    /** See orvTapeWriterWriteStored(). */
    int writeStored(const void* stored, unsigned int storedLength, unsigned char flags2);
    /** See orvTapeWriterWriteBlock(). */
    int writeBlock(const orvTapeBlockInfo* block);
    /** See orvTapeWriterClose(). */
    int close();
    /** See orvTapeWriterGetPosition(). */
    long long position() const;
    /** See orvTapeWriterGetLastErrno(). */
    int lastErrno() const;

private:
    struct Impl;
    Impl* impl;
};

/** Block codec; the C functions orvTapeCodec* forward to it. */
class ORVTAPE_API ORVtapeCodec {
public:
    /** A codec; its work buffers are allocated on first use. */
    ORVtapeCodec();
    /** Frees the work buffers. */
    ~ORVtapeCodec();
    ORVtapeCodec(const ORVtapeCodec&) = delete;
    ORVtapeCodec& operator=(const ORVtapeCodec&) = delete;
    /** See orvTapeCodecSetMaxRecordSize(). */
    void setMaxRecordSize(int size);
    /** See orvTapeCodecEncode(). */
    int encode(const void* data, unsigned int length, bool compress, bool scramble, const unsigned char** stored,
               unsigned char* flags2);
    /** See orvTapeCodecDecode(). */
    int decode(const void* stored, unsigned int storedLength, unsigned char flags2, const unsigned char** data,
               unsigned int* dataLength);
    /** The block's length without decoding it (for a compressed block, from its prefix), or -10 / -12. */
    int length(const void* stored, unsigned int storedLength, unsigned char flags2);

private:
    struct Impl;
    Impl* impl;
};
#endif  // __cplusplus

#endif /* ORV_TAPE_STREAM_H */
