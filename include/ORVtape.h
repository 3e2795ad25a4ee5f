/*
 * ORVtape.h - the tape image engine.
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

        OrvTapeWorkBuffer();
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
    ORVtape();
    ~ORVtape();
    ORVtape(const ORVtape&) = delete;
    ORVtape& operator=(const ORVtape&) = delete;

    /** Sets every field to its default; forgets (does not close) a descriptor. */
    void init();
    /** Mounts an image (creating it unless readOnly); 0 or -1. */
    int open(const char* path, bool readOnly);
    /** Unmounts and resets every field and setting; result of closing the descriptor. */
    int close();
    /** Rewind-unload: close, then 0. */
    int run();
    /** Rewinds to the load point; 0 or -1. */
    int rew();
    /** Truncates the image at the current position; 0 or -1 (lastErrno 9 with no image). */
    int erase();
    /** Stores the descriptor's offset in curPos and refreshes bot and eot; always true. */
    bool getPosition();
    /** Seeks to an absolute offset; false (lastRC -1) on a negative offset or a failed seek. */
    bool setPosition(long long pos);
    /** Raises maxRecordSize; never lowers it. */
    void setMaxRecordSize(int size);

    // ---- Header I/O: 0, or -1 no image, -2 short read / failed step, ----
    // ---- -3 reserved bits (read) or short write (write), -4 at load point
    int readHdr(void* hdr);
    int writeHdr(void* hdr);
    int readPrevHdr(void* hdr);

    // ---- Writing ---------------------------------------------------------
    /** Writes a block (tapemark for length 0): length, or -13, -11, -12, -1. */
    int writeBlk(const void* data, unsigned int length);
    /** writeBlk, recording the result in lastRC and errno in lastErrno. */
    int write(const void* data, unsigned int length);
    /** Writes count tapemarks: 0 or the first failure. */
    int wtm(unsigned int count);

    // ---- Reading and spacing forward ---------------------------------------
    /** Reads the next block: its full length, 0 (tapemark), -1, -2, -3, -10, -12. */
    int readBlk(void* buffer, unsigned int size, int* lengthOut);
    /** readBlk, recording the result in lastRC and errno in lastErrno. */
    int read(void* buffer, unsigned int size);
    int fsr(unsigned int count);
    int fsf(unsigned int count);

    // ---- Backward motion and locate --------------------------------------
    /** Steps back over one block: 0, or -1, -2, -4, -10, -11, -14. */
    int backSpaceBlock(int* blockLen);
    int bsr(unsigned int count);
    int bsf(unsigned int count);
    /** Reads the previous block into the end of buffer; leaves the tape before it. */
    int readBkwd(void* buffer, unsigned int size);
    /** Moves until blockID equals target; the previous blockID, 0, or a failure. */
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
    /** Walks every header: the header count, or -1, -2, -3, -10..-12, -14..-18, -20..-22. */
    int validate(long long* lastHdrOffset, void* hdrOut, bool* multiSeg, bool* compressed);
    /** Value of the length prefix at the current position, or -1; does not move. */
    int getSerialLength();

private:
    // Private helpers are declared in the engine sources as needed.
};

#endif  // ORV_TAPE_ORVTAPE_H
