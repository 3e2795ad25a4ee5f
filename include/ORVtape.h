/**
 * @file ORVtape.h
 * @brief The tape image engine: class ORVtape and the header flag bits.
 *
 * One ORVtape object is one emulated tape drive with at most one mounted
 * image file.  Hosts construct it themselves, so the order and types of the
 * data members below are part of the library's binary interface: never
 * reorder, retype, add or remove a data member.
 *
 * Image format: segments back to back from offset 0, each a 6-byte header
 * (curLen u16 LE, prevLen u16 LE, flags1, flags2) followed by curLen payload
 * bytes.  A tapemark is a header with curLen 0 and flags1 HF1_TM.  A block is
 * one or more segments, the first flagged HF1_BOR, the last HF1_EOR.
 *
 * Every int result is 0 or more on success and a negative code on failure;
 * codes belong to their operation, so one number can mean different things
 * in different operations.  The operations a host calls leave their result
 * in lastRC and, when a system call failed, its errno in lastErrno.  A failed
 * single-block operation moves back to where it started; operations over
 * several blocks stop at the first failure and keep the steps already done.
 * Nothing prints, and the only exception is std::bad_alloc when a work
 * buffer cannot grow.  One object is used by one thread at a time.
 */
#ifndef ORV_TAPE_ORVTAPE_H
#define ORV_TAPE_ORVTAPE_H

#include "orvTapeItf.h"

#if defined(__GNUC__)
#define ORVTAPE_LOCAL __attribute__((visibility("hidden")))
#else
#define ORVTAPE_LOCAL
#endif

/** flags1: first segment of a data block. */
constexpr unsigned char HF1_BOR = 0x80;
/** flags1: tapemark. */
constexpr unsigned char HF1_TM = 0x40;
/** flags1: last segment of a data block. */
constexpr unsigned char HF1_EOR = 0x20;
/** flags2: the transform bits are in force. */
constexpr unsigned char HF2_XFORM = 0x80;
/** flags2: the block is stored bzip2-compressed behind a length prefix. */
constexpr unsigned char HF2_BZ2 = 0x01;
/** flags2: the block is stored scrambled. */
constexpr unsigned char HF2_SCRAMBLE = 0x02;

/**
 * One emulated tape drive with at most one mounted image.
 *
 * Construct it anywhere (stack, member, new); it is neither copied nor
 * assigned.  Call order: construct, change settings if wanted, open(), data
 * and motion operations, close() or run(), and open() again or destroy.
 * close() restores every setting to its default, so settings are made again
 * after each mount.  Hosts may read the data members freely; they change only
 * the settings (compressOn, encryptOn, sync, maxSegLen, maxTapeLen).
 */
class ORVTAPE_API ORVtape {
public:
    /**
     * Growable scratch area whose usable part starts on a 4096-byte boundary.
     * Sized at nine eighths of the larger of the request and the minimum
     * (never below 4 MiB); it grows and never shrinks.
     */
    class ORVTAPE_API OrvTapeWorkBuffer {
    public:
        char* raw;             ///< area from the allocator, owned; null when empty
        char* aligned;         ///< raw rounded up to 4096: start of the usable area
        int capacity;          ///< usable bytes from aligned; 0 when empty
        unsigned int dataLen;  ///< valid bytes handed to a transform; 0 when replaced

        /** An empty buffer: null pointers, capacity 0; allocates nothing. */
        OrvTapeWorkBuffer();
        /** Frees the area, if any. */
        ~OrvTapeWorkBuffer();
        OrvTapeWorkBuffer(const OrvTapeWorkBuffer&) = delete;
        OrvTapeWorkBuffer& operator=(const OrvTapeWorkBuffer&) = delete;

        /**
         * Returns the usable area after making sure that it holds at least
         * need bytes and at least minimum (4 MiB floor).  Pass need 0 for the
         * current area.  Throws std::bad_alloc when memory runs out.
         */
        char* getBfr(int need, int minimum);
    };

    // ---- State (binary layout; see the file comment) -------------------
    long long hdrPos;                ///< offset of the header last read or written
    long long eodPos;                ///< end of recorded data as last known
    long long curPos;                ///< offset as last observed or set
    unsigned long long maxTapeLen;   ///< capacity; 0 skips the end-of-tape test of writes
    OrvTapeWorkBuffer bkwdBfr;       ///< staging area of readBkwd
    OrvTapeWorkBuffer cmpBfr;        ///< compressed form of a block
    OrvTapeWorkBuffer encBfr;        ///< scrambled form of a block
    int fd;                          ///< descriptor of the image; negative: none open
    int blockID;                     ///< blocks and tapemarks passed since the load point
    int fileNumber;                  ///< tapemarks passed since the load point
    int curBlkLen;                   ///< curLen of the header last read or written
    int prevBlkLen;                  ///< prevLen of the header last read or written
    int maxRecordSize;               ///< largest block accepted; never below 4 MiB
    int maxSegLen;                   ///< largest segment payload
    int lastErrno;                   ///< errno saved by the last operation, 0 when none
    int lastRC;                      ///< result of the last operation
    unsigned char hdrFlags1;         ///< flags1 of the header last read or written
    unsigned char hdrFlags2;         ///< flags2 of the header last read or written
    unsigned char cmpLevel;          ///< bzip2 block size (always 9)
    bool bot;                        ///< at the load point
    bool eot;                        ///< end-of-tape indicator
    bool compressOn;                 ///< compress blocks on write
    bool encryptOn;                  ///< scramble blocks on write
    bool newImage;                   ///< a new image that has received nothing yet
    bool sync;                       ///< fdatasync after every block written
    bool tapemark;                   ///< the last block passed was a tapemark
    bool wrtProt;                    ///< the image is open read-only

    // ---- Object, status and positioning --------------------------------
    /** A drive with no image mounted and every field at its default. */
    ORVtape();
    /** Unmounts the image as close() does, then frees the work buffers. */
    ~ORVtape();
    ORVtape(const ORVtape&) = delete;
    ORVtape& operator=(const ORVtape&) = delete;

    /** Sets every field to its default; forgets (does not close) a descriptor. */
    void init();
    /**
     * Mounts the image at path; a missing file is created unless readOnly.
     * When writing is refused (EACCES, EROFS) the image is mounted read-only
     * and wrtProt set.  An empty image opened for writing receives five
     * tapemarks.  Ends at the load point.  Returns 0, or -1 with lastErrno
     * from the failed open or seek.
     */
    int open(const char* path, bool readOnly);
    /**
     * Unmounts the image (a new image that received nothing is truncated to
     * length 0) and resets every field and setting.  Returns 0 (also with no
     * image mounted), or -1 when closing the descriptor failed.
     */
    int close();
    /** Rewind-unload: close(), then 0 with lastRC and lastErrno 0. */
    int run();
    /**
     * Rewinds to the load point and zeroes blockID and fileNumber.  Returns
     * 0, or -1 with no image mounted (lastRC untouched) or when the seek fails.
     */
    int rew();
    /**
     * Truncates the image at the current position.  Returns 0, or -1 with no
     * image (lastErrno 9) or when the truncation fails (read-only image).
     */
    int erase();
    /** Stores the descriptor's offset in curPos and refreshes bot and eot; always true. */
    bool getPosition();
    /**
     * Seeks to an absolute offset (beyond the end is allowed and sets eot).
     * False, with lastRC -1, on a negative offset (lastErrno 75) or a failed
     * seek.
     */
    bool setPosition(long long pos);
    /** Raises maxRecordSize to size (at least 4 MiB); never lowers it. */
    void setMaxRecordSize(int size);

    // ---- Header I/O: 0, or -1 no image, -2 short read / failed step, ----
    // ---- -3 reserved bits (read) or short write (write), -4 at load point
    /**
     * Reads the 6-byte header at the position into hdr and leaves the tape
     * at its payload.  0, or -1 (no image), -2 (fewer than 6 bytes: end of
     * data or read error), -3 (reserved flag bits).  Moves back on failure.
     */
    int readHdr(void* hdr);
    /**
     * Writes the 6-byte header in hdr at the position and leaves the tape
     * after it.  0, or -1 (no image), -3 (write failed or cut short).
     */
    int writeHdr(void* hdr);
    /**
     * Steps back over the segment or tapemark ending at the position, leaving
     * the tape at its header, which is read into hdr.  0, or -1 (no image),
     * -2 (the step or the read failed), -4 (at the load point).
     */
    int readPrevHdr(void* hdr);

    // ---- Writing ---------------------------------------------------------
    /**
     * Writes a block (tapemark for length 0) and truncates the image after
     * it.  Returns length, or -13 (longer than maxRecordSize), -11 (a header
     * write failed: no image, read-only image, device refused), -12 (a
     * payload write failed), -1 (the flush failed; the block is complete).
     */
    int writeBlk(const void* data, unsigned int length);
    /** writeBlk, recording the result in lastRC and errno in lastErrno. */
    int write(const void* data, unsigned int length);
    /** Writes count tapemarks: 0 or the first failure. */
    int wtm(unsigned int count);

    // ---- Reading and spacing forward ---------------------------------------
    /**
     * Reads the next block into buffer (null passes over it; a smaller
     * buffer receives the beginning).  Returns the full block length, 0 for a
     * tapemark, or -1 (no image), -2 (end of data or read error), -3 (reserved
     * flag bits), -10 (broken block), -12 (payload short or not
     * decompressible).  lengthOut, when given, receives the same length.
     */
    int readBlk(void* buffer, unsigned int size, int* lengthOut);
    /** readBlk, recording the result in lastRC and errno in lastErrno. */
    int read(void* buffer, unsigned int size);
    /**
     * Spaces forward over count blocks, tapemarks included.  0, or the first
     * failure of the read (-2 at the end of data, positioned there).
     */
    int fsr(unsigned int count);
    /**
     * Spaces forward until count tapemarks have been passed, leaving the tape
     * after the last.  0, or the first failure of the read.
     */
    int fsf(unsigned int count);

    // ---- Backward motion and locate --------------------------------------
    /**
     * Steps back over one block, storing its stored length (0 for a tapemark)
     * through blockLen when given.  0, or -1 (no image), -2 (previous header
     * unreadable), -4 (at the load point), -10 (broken block end), -11 (final
     * seek failed), -14 (blockID already 0).
     */
    int backSpaceBlock(int* blockLen);
    /** Steps back over count blocks, tapemarks included: 0 or the first failure. */
    int bsr(unsigned int count);
    /**
     * Steps back until count tapemarks have been passed, leaving the tape
     * before the last one met: 0 or the first failure.
     */
    int bsf(unsigned int count);
    /**
     * Reads the previous block into the end of buffer and leaves the tape
     * before it.  Returns its length, 0 for a tapemark, or the codes of
     * backSpaceBlock and readBlk.
     */
    int readBkwd(void* buffer, unsigned int size);
    /**
     * Moves until blockID equals target (below 1 rewinds).  Returns the
     * previous blockID, 0 when no motion was needed, or the first failure
     * of the spacing or the rewind (-1 with no image).
     */
    int locate(int target);

    // ---- Payload transforms ------------------------------------------------
    /** Length prefix and bzip2 stream of src into cmpBfr: bytes written or -1. */
    int compress(char* src, int length);
    /** cmpBfr's dataLen bytes into dst: the prefix length, or -1. */
    int decompress(char* dst, int size);
    /** Scrambles src into encBfr: length. */
    int encrypt(char* src, int length);
    /** Unscrambles encBfr's dataLen bytes into dst (at most size): dataLen. */
    int decrypt(char* dst, int size);

    // ---- Inspection --------------------------------------------------------
    /**
     * Walks every header from offset 0 and checks the chain and the block
     * rules.  Returns the number of headers, or -1 (no image), -2 (unreadable
     * or cut header), -3 (reserved bits), -10..-12 (malformed tapemark),
     * -14..-17 (malformed block start or continuation), -18 (prevLen chain
     * broken), -20..-22 (transform bits inconsistent within a block).  Each
     * output, when given, receives the offset of the last header examined,
     * its bytes, whether a block has several segments and whether one is
     * compressed.  The position is restored; blockID and fileNumber are 0.
     */
    int validate(long long* lastHdrOffset, void* hdrOut, bool* multiSeg, bool* compressed);
    /** Value of the length prefix at the current position, or -1; does not move. */
    int getSerialLength();

private:
    // Private helpers are declared in the engine sources as needed.
};

#endif  // ORV_TAPE_ORVTAPE_H
