/**
 * @file orvTapeItf.h
 * @brief Flat C interface of liborvTapeItf.
 *
 * A tape handle designates one emulated tape drive with at most one mounted
 * image.  Every function accepts a null handle and then returns a fixed value
 * (-1 for int results) without doing anything.  Results of data and motion
 * calls: 0 or more on success, a negative code on failure; the code and the
 * saved errno of the last operation are available through
 * orvTapeGetLastRC() and orvTapeGetLastErrno().  Settings last until the
 * image is closed, which restores their defaults.
 *
 * A handle is used by one thread at a time; different handles share
 * nothing.  Includable from C11 and C++.
 */
#ifndef ORV_TAPE_ITF_H
#define ORV_TAPE_ITF_H

#include <stdbool.h>

#if defined(__GNUC__)
#define ORVTAPE_API __attribute__((visibility("default")))
#else
#define ORVTAPE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Opaque handle of one tape object; from orvTapeCreate(), freed by orvTapeDestroy(). */
typedef void* orvTapeHandle;

/* ---- Lifecycle --------------------------------------------------------- */

/** Creates a tape object with no image mounted and every setting at its default (never null). */
ORVTAPE_API orvTapeHandle orvTapeCreate(void);
/** Unmounts the image (as orvTapeClose) and frees the object; the handle is then invalid. */
ORVTAPE_API void orvTapeDestroy(orvTapeHandle tape);
/**
 * Mounts the image at path, creating it when it does not exist and readOnly
 * is false.  Falls back to read-only when writing is refused (EACCES, EROFS).
 * An empty image opened for writing receives five tapemarks.  Ends at the
 * load point.  0, or -1 with the failing call's errno in orvTapeGetLastErrno().
 */
ORVTAPE_API int orvTapeOpen(orvTapeHandle tape, const char* path, bool readOnly);
/**
 * Unmounts the image and resets every field and setting.  A new image that
 * received nothing is left empty.  0 (also with nothing mounted) or -1.
 */
ORVTAPE_API int orvTapeClose(orvTapeHandle tape);
/** Truncates the image at the current position; 0, or -1 (nothing mounted, read-only). */
ORVTAPE_API int orvTapeErase(orvTapeHandle tape);
/** Rewinds to the load point and zeroes the block and file numbers; 0, or -1 (nothing mounted). */
ORVTAPE_API int orvTapeREW(orvTapeHandle tape);
/** Rewind-unload: closes the image; always 0. */
ORVTAPE_API int orvTapeRUN(orvTapeHandle tape);

/* ---- Status and settings ----------------------------------------------- */

/** Blocks and tapemarks passed since the load point (0 with no image open). */
ORVTAPE_API int orvTapeGetBlockID(orvTapeHandle tape);
/** Tapemarks passed since the load point (0 with no image open). */
ORVTAPE_API int orvTapeGetFileNumber(orvTapeHandle tape);
/** errno saved by the last operation, 0 when none; -1 for a null handle. */
ORVTAPE_API int orvTapeGetLastErrno(orvTapeHandle tape);
/** Result code of the last operation (for a read, the block length); -1 for a null handle. */
ORVTAPE_API int orvTapeGetLastRC(orvTapeHandle tape);
/** Segment size used by block writes (16..65535 once a write has clamped it). */
ORVTAPE_API int orvTapeGetMaxSegLen(orvTapeHandle tape);
/** Sets the segment size; 0 means 65535.  Brought into 16..65535 by the next write. */
ORVTAPE_API void orvTapeSetMaxSegLen(orvTapeHandle tape, unsigned short length);
/** Tape capacity in bytes (all bits set: no limit, also for a null handle). */
ORVTAPE_API unsigned long long orvTapeGetMaxTapeLen(orvTapeHandle tape);
/** Sets the capacity and recomputes the end-of-tape indicator against the position. */
ORVTAPE_API void orvTapeSetMaxTapeLen(orvTapeHandle tape, unsigned long long length);
/** Whether every written block is flushed with fdatasync (true for a null handle). */
ORVTAPE_API bool orvTapeGetSync(orvTapeHandle tape);
/** Flush every block written from now on to the device (slower, durable). */
ORVTAPE_API void orvTapeSetSync(orvTapeHandle tape, bool on);
/** Compress (bzip2) every block written from now on, when that makes it shorter. */
ORVTAPE_API void orvTapeSetCompress(orvTapeHandle tape, bool on);
/** Scramble every block written from now on. */
ORVTAPE_API void orvTapeSetEncrypt(orvTapeHandle tape, bool on);
/** The compression write setting (not a property of the image). */
ORVTAPE_API bool orvTapeIsCompressed(orvTapeHandle tape);
/** The scrambling write setting (not a property of the image). */
ORVTAPE_API bool orvTapeIsEncrypted(orvTapeHandle tape);
/** At the load point. */
ORVTAPE_API bool orvTapeIsBOT(orvTapeHandle tape);
/**
 * End-of-tape indicator: at or past the end of data, or past the capacity
 * after a write (true for a null handle).  Reported only: nothing stops there.
 */
ORVTAPE_API bool orvTapeIsEOT(orvTapeHandle tape);
/** An image is mounted. */
ORVTAPE_API bool orvTapeIsReady(orvTapeHandle tape);
/** The last block read, written or spaced over was a tapemark. */
ORVTAPE_API bool orvTapeIsTPMK(orvTapeHandle tape);
/** The image is mounted read-only (true for a null handle). */
ORVTAPE_API bool orvTapeIsWrtProt(orvTapeHandle tape);

/* ---- Data transfer and motion ------------------------------------------ */

/**
 * Writes one block (a tapemark when length is 0) and truncates the image after
 * it.  Returns length, or -13 (longer than the maximum record size), -11 (a
 * header write failed, e.g. read-only image), -12 (a payload write failed),
 * -1 (the flush failed).
 */
ORVTAPE_API int orvTapeWrite(orvTapeHandle tape, const void* data, unsigned int length);
/** Writes count tapemarks; 0 or the code of the first that failed. */
ORVTAPE_API int orvTapeWTM(orvTapeHandle tape, unsigned int count);
/**
 * Reads the next block into buffer (its beginning when size is smaller) and
 * returns its full length, 0 for a tapemark, or -1 (no image), -2 (end of
 * data or read error), -3 (reserved flag bits), -10 (broken block), -12
 * (payload short or not decompressible).
 */
ORVTAPE_API int orvTapeRead(orvTapeHandle tape, void* buffer, unsigned int size);
/** Spaces forward over count tapemarks; 0 or the first failure. */
ORVTAPE_API int orvTapeFSF(orvTapeHandle tape, unsigned int count);
/** Spaces forward over count blocks (tapemarks included); 0 or the first failure. */
ORVTAPE_API int orvTapeFSR(orvTapeHandle tape, unsigned int count);
/**
 * Reads the block before the position into the last bytes of buffer and
 * leaves the tape before it.  Returns its length, 0 for a tapemark, or -4 (at
 * the load point), -10 (broken block), -14 (block number already 0) and the
 * codes of orvTapeRead.
 */
ORVTAPE_API int orvTapeReadBkwd(orvTapeHandle tape, void* buffer, unsigned int size);
/** Spaces backward over count tapemarks, stopping before the last; 0 or the first failure. */
ORVTAPE_API int orvTapeBSF(orvTapeHandle tape, unsigned int count);
/** Spaces backward over count blocks (tapemarks included); 0 or the first failure. */
ORVTAPE_API int orvTapeBSR(orvTapeHandle tape, unsigned int count);
/**
 * Moves until the block number equals blockNumber (0 or less rewinds).
 * Returns the previous block number, 0 when no motion was needed, or a failure.
 */
ORVTAPE_API int orvTapeLocate(orvTapeHandle tape, int blockNumber);

/* ---- Unrelated routine ------------------------------------------------- */

/**
 * Stamps the library's notice text into the placeholder area of the file
 * "cpyrht.o" in the working directory and ends the process with status 0.
 * Unrelated to tapes.
 */
ORVTAPE_API void print_copyright_msg(void);

/* ---- Supplied by the host ---------------------------------------------- */

/**
 * writeConsoleLog: the host program must define it, with C linkage:
 *
 *     void writeConsoleLog(int level, const char* messageId, const char* format, ...);
 *     int  writeConsoleLog(int level, const char* messageId, const char* format, ...);
 *
 * either result type will do: the library ignores any result.  It is the
 * library's only output: TapeInformation calls it with level 2, the message
 * id "TAPE_1090", a printf-style format and one string argument or none.
 *
 * Because hosts differ in the result type, this header does not declare it
 * (a declaration would clash with one of the two definitions).  A host that
 * wants the declaration defines ORVTAPE_CONSOLE_LOG_RESULT as its result
 * type (int or void) before including this header.
 */
#ifdef ORVTAPE_CONSOLE_LOG_RESULT
ORVTAPE_CONSOLE_LOG_RESULT writeConsoleLog(int level, const char* messageId, const char* format, ...);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORV_TAPE_ITF_H */
