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
 *   decoded data.  It accepts and refuses exactly the blocks that the drive
 *   accepts and refuses (see orvTapeReadMode for which drive call each mode
 *   agrees with), and its validate() is ORVtape::validate's walk;
 * - the writer appends blocks and tapemarks and leaves byte for byte the
 *   image that ORVtape::write and wtm would leave from the same position
 *   with the same settings, through a buffer;
 * - the codec turns a block into its stored form and back.  It owns its work
 *   buffers and shares nothing, so each thread may use a codec of its own.
 *
 * Results.  Every call that can fail returns an ::orvTapeResult: a
 * non-negative value on success (a byte count or ORVTAPE_OK) or one of the
 * negative codes below, each with one meaning in every function, so that
 * orvTapeResultMessage() can name it.  End of data (ORVTAPE_END) is not an
 * error and has a code of its own.  Where a system call failed, its errno is
 * kept for the object's GetLastErrno until its next call.
 *
 * Each object is used by one thread at a time.  The C functions take opaque
 * handles and accept a null handle, returning ORVTAPE_ERR_ARGUMENT (or
 * false, 0, null) without doing anything; the C and C++ faces of a call
 * behave alike in everything.  Pointers that an object hands out stay valid
 * until its next call on that object.  The only exception thrown is
 * std::bad_alloc when memory runs out.
 *
 * A copy of a volume, block by block, in its stored form (no decoding):
 * @code
 * orvTapeReaderHandle in = orvTapeReaderCreate();
 * orvTapeWriterHandle out = orvTapeWriterCreate();
 * orvTapeBlockInfo block = ORVTAPE_BLOCK_INFO_INIT;
 * int rc = orvTapeReaderOpen(in, "in.tape");
 * if (rc == ORVTAPE_OK) rc = orvTapeWriterOpen(out, "out.tape", 0, 0);
 * while (rc >= 0 && (rc = orvTapeReaderNext(in, &block, ORVTAPE_READ_STORED)) >= 0)
 *     rc = orvTapeWriterWriteBlock(out, &block);
 * if (rc == ORVTAPE_END) rc = orvTapeWriterClose(out);
 * if (rc < 0) fprintf(stderr, "copy: %s\n", orvTapeResultMessage(rc));
 * orvTapeWriterDestroy(out);
 * orvTapeReaderDestroy(in);
 * @endcode
 */
#ifndef ORV_TAPE_STREAM_H
#define ORV_TAPE_STREAM_H

#include "orvTapeItf.h"

#ifdef __cplusplus
extern "C" {
#endif

/** What a streaming call returns when it does not succeed; success is 0 or more. */
typedef enum orvTapeResult {
    ORVTAPE_OK = 0,                /**< done */
    ORVTAPE_END = -1,              /**< end of data: the image ends right after the last whole block */
    ORVTAPE_ERR_ARGUMENT = -2,     /**< a null handle or pointer, a size field too small, or a value out of range */
    ORVTAPE_ERR_NOT_OPEN = -3,     /**< no image is open */
    ORVTAPE_ERR_IO = -4,           /**< a system call failed: its errno is kept */
    ORVTAPE_ERR_TRUNCATED = -5,    /**< the image ends inside a header or inside a block's payload */
    ORVTAPE_ERR_FLAGS = -6,        /**< a header carries flag bits that are not defined */
    ORVTAPE_ERR_CHAIN = -7,        /**< headers that do not chain: segment flags, lengths or a previous length wrong */
    ORVTAPE_ERR_DECODE = -8,       /**< a transformed payload does not decode to a block */
    ORVTAPE_ERR_TOO_LONG = -9,     /**< a block longer than the limit set for it */
    ORVTAPE_ERR_INCOMPLETE = -10,  /**< a stored block that the caller does not hold whole */
    ORVTAPE_ERR_STOPPED = -11      /**< the writer takes no more: an earlier write failed */
} orvTapeResult;

/** A short English text for a result ("end of data", ...); never null, also for unknown codes. */
ORVTAPE_API const char* orvTapeResultMessage(int result);

/**
 * One block as the reader met it.  The caller sets size to
 * sizeof(orvTapeBlockInfo) (ORVTAPE_BLOCK_INFO_INIT does) before the first
 * call: fields added by later versions go at the end and are filled only
 * when size covers them, so a host compiled against this header keeps
 * working with a later library.
 */
typedef struct orvTapeBlockInfo {
    unsigned int size;           /**< set by the caller: sizeof(orvTapeBlockInfo) */
    unsigned int segments;       /**< headers of the block (1 for a tapemark) */
    long long offset;            /**< offset of the block's first header */
    long long end;               /**< offset just after the block */
    long long blockNumber;       /**< blocks and tapemarks before it since the load point */
    long long fileNumber;        /**< tapemarks before it since the load point */
    int length;                  /**< the block's length, 0 for a tapemark (see orvTapeReadMode) */
    unsigned int storedLength;   /**< payload bytes in the image; only storedValid of them are at stored */
    unsigned int storedValid;    /**< bytes at stored: storedLength when held whole, fewer or 0 otherwise */
    unsigned int lastSegment;    /**< curLen of its last header, the prevLen of what follows (0 after a tapemark) */
    const unsigned char* stored; /**< the stored payload as far as it was read (see orvTapeReadMode), else null */
    const unsigned char* data;   /**< the block's data when read or decoded, else null */
    unsigned int dataLength;     /**< bytes at data: length, or the record size when the block is longer */
    unsigned char flags2;        /**< flags2 of its first header (the library writes 0x00, 0x81, 0x82, 0x83) */
    bool tapemark;               /**< the block is a tapemark */
    bool headerCut;              /**< on ORVTAPE_ERR_TRUNCATED: the image ends inside a header, not a payload */
} orvTapeBlockInfo;

/** An orvTapeBlockInfo ready for its first call: size set, the rest zero. */
#define ORVTAPE_BLOCK_INFO_INIT {sizeof(orvTapeBlockInfo), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}

/**
 * How much of a block orvTapeReaderNext reads.  Every mode refuses a block
 * whose headers the drive refuses, with the same result in every mode.
 */
typedef enum orvTapeReadMode {
    /**
     * As ORVtape::fsr passes a block: a plain payload is not read (only its
     * presence in the file is checked), a transformed one is gathered for its
     * length, which comes from its prefix.  stored and data stay null.
     */
    ORVTAPE_READ_PASS = 0,
    /**
     * The whole stored payload is read, nothing is decoded: stored holds it
     * (storedValid = storedLength) and data is set for plain blocks.  length
     * is a plain block's length, or the length that a transformed block's
     * prefix claims; a compressed stream damaged inside is not seen here.
     */
    ORVTAPE_READ_STORED = 1,
    /**
     * As ORVtape::read into a buffer of the record size: data holds the
     * block's beginning, up to that size, decoded; a payload that does not
     * decode gives ORVTAPE_ERR_DECODE.
     */
    ORVTAPE_READ_DECODE = 2
} orvTapeReadMode;

/**
 * What orvTapeReaderValidate reports.  The caller sets size to
 * sizeof(orvTapeChainReport) (later fields are filled only when it covers
 * them; a size that ends at compressed, the first version's, is taken too).
 */
typedef struct orvTapeChainReport {
    unsigned int size;             /**< set by the caller: sizeof(orvTapeChainReport) */
    int driveCode;                 /**< on a defect, the negative code ORVtape::validate gives for it; else 0 */
    long long headers;             /**< headers accepted before the end or the defect */
    long long lastHeaderOffset;    /**< the last header examined (the offending one on a defect), -1 when none */
    unsigned char lastHeader[6];   /**< that header's bytes, zeros when none */
    bool multiSegment;             /**< some block has two or more segments */
    bool compressed;               /**< some block is compressed */
    unsigned int lastCurLen;       /**< that header's curLen, the payload it announces (0 when not read whole) */
    unsigned int lastPrevLen;      /**< that header's prevLen (0 when not read whole) */
    bool endsInBlock;              /**< the headers accepted end inside a data block: the last is no block's end */
} orvTapeChainReport;

/** An orvTapeChainReport ready for its first call. */
#define ORVTAPE_CHAIN_REPORT_INIT {sizeof(orvTapeChainReport), 0, 0, 0, {0, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0}

/**
 * Where a walk of the header chain stands between two headers, for
 * orvTapeChainCheck.  All zeros is the load point.
 */
typedef struct orvTapeChainState {
    unsigned int prevLen;      /**< the curLen of the header accepted last (0 at the load point) */
    unsigned char blockFlags2; /**< transform bits of the block in progress */
    bool inBlock;              /**< the next header continues a block */
    /**
     * The next header is met in mid-image (a search for where a damaged
     * chain resumes): it must begin a data block as the reader's first
     * header does, or be a tapemark, and its prevLen is taken as it is.
     * Cleared once a header is accepted.
     */
    bool resync;
} orvTapeChainState;

/**
 * Checks one 6-byte header as the next in a chain, by the rules of
 * ORVtape::validate, and on success moves the state past it: ORVTAPE_OK,
 * ORVTAPE_ERR_FLAGS or ORVTAPE_ERR_CHAIN (the state unchanged; *driveCode,
 * when given, receives ORVtape::validate's code for the defect, else 0), or
 * ORVTAPE_ERR_ARGUMENT for a null state or header.  It reads no file, so
 * tools that walk or resynchronise a chain themselves share the library's rules.
 */
ORVTAPE_API int orvTapeChainCheck(orvTapeChainState* state, const unsigned char* header, int* driveCode);

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
/** Opens the image at path read-only, at the load point (an open image is closed first): ORVTAPE_OK or ORVTAPE_ERR_IO. */
ORVTAPE_API int orvTapeReaderOpen(orvTapeReaderHandle reader, const char* path);
/**
 * As orvTapeReaderOpen, on a descriptor open for reading: the reader works
 * on a duplicate of its own (closed by the reader) and reads by offset, so
 * the caller's descriptor and its file offset are left alone.
 */
ORVTAPE_API int orvTapeReaderOpenFd(orvTapeReaderHandle reader, int fd);
/** Closes the image: ORVTAPE_OK (also when none was open), or ORVTAPE_ERR_IO. */
ORVTAPE_API int orvTapeReaderClose(orvTapeReaderHandle reader);
/** Raises the record size, the largest block delivered whole (at least 4 MiB), as ORVtape::setMaxRecordSize. */
ORVTAPE_API void orvTapeReaderSetMaxRecordSize(orvTapeReaderHandle reader, int size);
/**
 * A limit on the block length claimed (by a plain block's segments or a
 * transformed block's prefix), 0 for none (the default).  A block within
 * the limit but longer than the record size raises the record size to its
 * length, so that it is delivered whole; a longer block is not read:
 * orvTapeReaderNext returns ORVTAPE_ERR_TOO_LONG with block->length set to
 * the claimed length.
 */
ORVTAPE_API void orvTapeReaderSetBlockLimit(orvTapeReaderHandle reader, long long limit);
/**
 * Reads the next block into *block, as far as mode says.  Returns its
 * length, 0 for a tapemark, ORVTAPE_END at the end of data, or
 * ORVTAPE_ERR_NOT_OPEN, ORVTAPE_ERR_ARGUMENT (null block or size too small,
 * unknown mode), ORVTAPE_ERR_IO, ORVTAPE_ERR_TRUNCATED, ORVTAPE_ERR_FLAGS,
 * ORVTAPE_ERR_CHAIN, ORVTAPE_ERR_DECODE, ORVTAPE_ERR_TOO_LONG.  A failure
 * leaves the reader at the block, with block->offset set to it, so that a
 * later call meets the same block again; a read error fails only the call
 * that met it (the next call reads the image afresh).
 */
ORVTAPE_API int orvTapeReaderNext(orvTapeReaderHandle reader, orvTapeBlockInfo* block, orvTapeReadMode mode);
/** Back to the load point, counters 0: ORVTAPE_OK or ORVTAPE_ERR_NOT_OPEN. */
ORVTAPE_API int orvTapeReaderRewind(orvTapeReaderHandle reader);
/**
 * Goes to a block boundary the caller knows (the offset of a block met
 * before, say, to read it again after raising the record size), with the
 * counters to go on from: ORVTAPE_OK, ORVTAPE_ERR_NOT_OPEN, or
 * ORVTAPE_ERR_ARGUMENT (a negative offset or counter).
 */
ORVTAPE_API int orvTapeReaderSeek(orvTapeReaderHandle reader, long long offset, long long blockNumber,
                                  long long fileNumber);
/**
 * The header chain walk of ORVtape::validate over the whole image, the block
 * walk left where it was.  Fills *report (see orvTapeChainReport) and returns
 * ORVTAPE_OK when every header chains up to the end of the file, or the
 * defect met: ORVTAPE_ERR_IO, ORVTAPE_ERR_TRUNCATED, ORVTAPE_ERR_FLAGS or
 * ORVTAPE_ERR_CHAIN (report->driveCode says which rule, as the drive does).
 */
ORVTAPE_API int orvTapeReaderValidate(orvTapeReaderHandle reader, orvTapeChainReport* report);
/** errno saved by the last failure, 0 when none. */
ORVTAPE_API int orvTapeReaderGetLastErrno(orvTapeReaderHandle reader);

/* ---- Writer ------------------------------------------------------------- */

/**
 * Offset for orvTapeWriterOpen and orvTapeWriterOpenFd: find the end of the
 * volume by walking its header chain, and append there.
 */
#define ORVTAPE_AT_END (-1LL)

/** A writer with no image open and the drive's default settings, which stay until changed (never null). */
ORVTAPE_API orvTapeWriterHandle orvTapeWriterCreate(void);
/** Closes the image as orvTapeWriterClose does and frees the writer. */
ORVTAPE_API void orvTapeWriterDestroy(orvTapeWriterHandle writer);
/**
 * Opens the image at path (created when missing, for offset 0 or
 * ORVTAPE_AT_END) to write from offset on,
 * where the segment or tapemark before has the curLen prevLen: a reader's
 * block->end and block->lastSegment of the block to write after, or 0 and 0
 * at the load point.  The pair is checked (offset within the file, and the
 * header before it ending there with that curLen): ORVTAPE_ERR_ARGUMENT when
 * it does not hold.  offset ORVTAPE_AT_END finds the end itself, walking the
 * chain: a chain that does not hold up to the end of the file gives its
 * result (ORVTAPE_ERR_TRUNCATED, _FLAGS, _CHAIN) and no image is opened.
 * The image's bytes change only when blocks go out.  ORVTAPE_OK or a failure.
 */
ORVTAPE_API int orvTapeWriterOpen(orvTapeWriterHandle writer, const char* path, long long offset,
                                  unsigned int prevLen);
/**
 * As orvTapeWriterOpen, on a descriptor open for reading and writing: the
 * writer works on a duplicate of its own and writes by offset.
 */
ORVTAPE_API int orvTapeWriterOpenFd(orvTapeWriterHandle writer, int fd, long long offset, unsigned int prevLen);
/** Segment size, 0 meaning 65535; brought into 16..65535 as the drive does. */
ORVTAPE_API void orvTapeWriterSetMaxSegLen(orvTapeWriterHandle writer, unsigned int length);
/** Compress (bzip2) every block written from now on, when that makes it shorter. */
ORVTAPE_API void orvTapeWriterSetCompress(orvTapeWriterHandle writer, bool on);
/** Scramble every block written from now on. */
ORVTAPE_API void orvTapeWriterSetEncrypt(orvTapeWriterHandle writer, bool on);
/** fdatasync at every flush and at close. */
ORVTAPE_API void orvTapeWriterSetSync(orvTapeWriterHandle writer, bool on);
/** Raises the largest block length accepted (at least 4 MiB), as ORVtape::setMaxRecordSize. */
ORVTAPE_API void orvTapeWriterSetMaxRecordSize(orvTapeWriterHandle writer, int size);
/**
 * Appends a block (a tapemark for length 0).  Returns length, or
 * ORVTAPE_ERR_NOT_OPEN, ORVTAPE_ERR_ARGUMENT (null data with a length),
 * ORVTAPE_ERR_TOO_LONG (longer than the maximum record size),
 * ORVTAPE_ERR_IO (the image refused bytes: it now ends after the last whole
 * block that reached it), ORVTAPE_ERR_STOPPED (after such a failure).
 *
 * What a crash leaves: the image up to the offset the writer was opened at,
 * unchanged, then the blocks that went out, whole, except that the last may
 * be cut short; never the old content behind new blocks (the image is
 * truncated at the open offset before the first bytes go out).  After
 * orvTapeWriterFlush returns, everything accepted is there and the image ends
 * right after it, as the drive leaves it after every block.
 */
ORVTAPE_API int orvTapeWriterWrite(orvTapeWriterHandle writer, const void* data, unsigned int length);
/** Appends count tapemarks: ORVTAPE_OK or the first failure. */
ORVTAPE_API int orvTapeWriterWTM(orvTapeWriterHandle writer, unsigned int count);
/**
 * Appends a block already in stored form (from a codec) with its flags2,
 * written as given: storedLength or a failure as for orvTapeWriterWrite, or
 * ORVTAPE_ERR_ARGUMENT (no payload, or flags2 with bits the format does not
 * define).  stored must hold storedLength bytes; a block from a reader goes
 * through orvTapeWriterWriteBlock, which checks that.
 */
ORVTAPE_API int orvTapeWriterWriteStored(orvTapeWriterHandle writer, const void* stored, unsigned int storedLength,
                                         unsigned char flags2);
/**
 * Appends a block as a reader described it, in its stored form: a tapemark
 * (0), or the stored payload with its flags2 (storedLength or a failure as
 * for orvTapeWriterWriteStored).  A block the reader did not hold whole
 * (storedValid below storedLength: read in ORVTAPE_READ_PASS, or plain and
 * longer than the reader's record size) is refused with
 * ORVTAPE_ERR_INCOMPLETE and nothing is written; a null block or one whose
 * size is too small with ORVTAPE_ERR_ARGUMENT.
 */
ORVTAPE_API int orvTapeWriterWriteBlock(orvTapeWriterHandle writer, const orvTapeBlockInfo* block);
/**
 * Writes out what is buffered and truncates the image right after the last
 * block accepted, then flushes it to storage when sync is set: the image is
 * a whole volume as far as written.  ORVTAPE_OK or ORVTAPE_ERR_IO.
 */
ORVTAPE_API int orvTapeWriterFlush(orvTapeWriterHandle writer);
/**
 * Flushes as orvTapeWriterFlush and closes the image: ORVTAPE_OK (also when
 * none was open), or ORVTAPE_ERR_IO (the image is closed all the same).
 */
ORVTAPE_API int orvTapeWriterClose(orvTapeWriterHandle writer);
/** Offset after the last block accepted (-1 with no image open). */
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
 * ORVTAPE_ERR_ARGUMENT (no data, or a null output) or ORVTAPE_ERR_TOO_LONG.
 * *stored points into the codec's buffer, or to data itself when the block
 * is stored as it is (flags2 0x00).
 */
ORVTAPE_API int orvTapeCodecEncode(orvTapeCodecHandle codec, const void* data, unsigned int length, bool compress,
                                   bool scramble, const unsigned char** stored, unsigned char* flags2);
/**
 * The block behind a stored payload with the given flags2.  Returns the
 * block's length (*data and *dataLength receive the decoded bytes, at most
 * the maximum record size), or ORVTAPE_ERR_ARGUMENT (a null pointer),
 * ORVTAPE_ERR_FLAGS (flags2 not a block's) or ORVTAPE_ERR_DECODE.  *data
 * points into the codec's buffer, or to stored itself when flags2 carries
 * no transform.
 */
ORVTAPE_API int orvTapeCodecDecode(orvTapeCodecHandle codec, const void* stored, unsigned int storedLength,
                                   unsigned char flags2, const unsigned char** data, unsigned int* dataLength);
/**
 * The block's length without decoding it: a plain payload's length, or the
 * length a transformed payload's prefix claims; ORVTAPE_ERR_ARGUMENT,
 * ORVTAPE_ERR_FLAGS or ORVTAPE_ERR_DECODE (no readable prefix).
 */
ORVTAPE_API int orvTapeCodecLength(orvTapeCodecHandle codec, const void* stored, unsigned int storedLength,
                                   unsigned char flags2);

#ifdef __cplusplus
}  // extern "C"

/**
 * Sequential reader of a whole image; every method does what the C function
 * of the same name does.  Movable, not copyable: a moved-from object of the
 * three classes may be assigned to or destroyed, and any other call on it
 * fails with ORVTAPE_ERR_NOT_OPEN (or does nothing).
 */
class ORVTAPE_API ORVtapeReader {
public:
    /** A reader with no image open. */
    ORVtapeReader();
    /** Closes the image. */
    ~ORVtapeReader();
    ORVtapeReader(const ORVtapeReader&) = delete;
    ORVtapeReader& operator=(const ORVtapeReader&) = delete;
    /** Takes over other's image and state. */
    ORVtapeReader(ORVtapeReader&& other) noexcept;
    /** Closes this reader's image and takes over other's. */
    ORVtapeReader& operator=(ORVtapeReader&& other) noexcept;
    /** See orvTapeReaderOpen(). */
    int open(const char* path);
    /** See orvTapeReaderOpenFd(). */
    int openFd(int fd);
    /** See orvTapeReaderClose(). */
    int close();
    /** See orvTapeReaderSetMaxRecordSize(). */
    void setMaxRecordSize(int size);
    /** See orvTapeReaderSetBlockLimit(). */
    void setBlockLimit(long long limit);
    /** See orvTapeReaderNext(). */
    int next(orvTapeBlockInfo* block, orvTapeReadMode mode);
    /** See orvTapeReaderRewind(). */
    int rewind();
    /** See orvTapeReaderSeek(). */
    int seek(long long offset, long long blockNumber, long long fileNumber);
    /** See orvTapeReaderValidate(). */
    int validate(orvTapeChainReport* report);
    /** See orvTapeReaderGetLastErrno(). */
    int lastErrno() const;

private:
    struct Impl;
    Impl* impl;
};

/**
 * Sequential writer of an image; every method does what the C function of
 * the same name does.  Movable, not copyable.
 */
class ORVTAPE_API ORVtapeWriter {
public:
    /** A writer with no image open and the drive's default settings. */
    ORVtapeWriter();
    /** Closes the image as close() does. */
    ~ORVtapeWriter();
    ORVtapeWriter(const ORVtapeWriter&) = delete;
    ORVtapeWriter& operator=(const ORVtapeWriter&) = delete;
    /** Takes over other's image, buffer and settings. */
    ORVtapeWriter(ORVtapeWriter&& other) noexcept;
    /** Closes this writer's image (as close() does) and takes over other's. */
    ORVtapeWriter& operator=(ORVtapeWriter&& other) noexcept;
    /** See orvTapeWriterOpen(). */
    int open(const char* path, long long offset, unsigned int prevLen);
    /** See orvTapeWriterOpenFd(). */
    int openFd(int fd, long long offset, unsigned int prevLen);
    /** See orvTapeWriterSetMaxSegLen(). */
    void setMaxSegLen(unsigned int length);
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
    /** See orvTapeWriterFlush(). */
    int flush();
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

/**
 * Block codec; every method does what the C function of the same name does.
 * Movable, not copyable.
 */
class ORVTAPE_API ORVtapeCodec {
public:
    /** A codec; its work buffers are allocated on first use. */
    ORVtapeCodec();
    /** Frees the work buffers. */
    ~ORVtapeCodec();
    ORVtapeCodec(const ORVtapeCodec&) = delete;
    ORVtapeCodec& operator=(const ORVtapeCodec&) = delete;
    /** Takes over other's buffers and settings. */
    ORVtapeCodec(ORVtapeCodec&& other) noexcept;
    /** Frees this codec's buffers and takes over other's. */
    ORVtapeCodec& operator=(ORVtapeCodec&& other) noexcept;
    /** See orvTapeCodecSetMaxRecordSize(). */
    void setMaxRecordSize(int size);
    /** See orvTapeCodecEncode(). */
    int encode(const void* data, unsigned int length, bool compress, bool scramble, const unsigned char** stored,
               unsigned char* flags2);
    /** See orvTapeCodecDecode(). */
    int decode(const void* stored, unsigned int storedLength, unsigned char flags2, const unsigned char** data,
               unsigned int* dataLength);
    /** See orvTapeCodecLength(). */
    int length(const void* stored, unsigned int storedLength, unsigned char flags2);

private:
    struct Impl;
    Impl* impl;
};
#endif  // __cplusplus

#endif /* ORV_TAPE_STREAM_H */
