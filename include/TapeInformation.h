/**
 * @file TapeInformation.h
 * @brief Block statistics of a tape, reported through the host's
 * writeConsoleLog (level 2, message id "TAPE_1090").
 *
 * The host calls tally() with the length of every block it passes and 0 for
 * every tapemark; a tapemark closes the current file and prints its line.
 * summary() prints the totals of the whole tape.
 */
#ifndef ORV_TAPE_TAPEINFORMATION_H
#define ORV_TAPE_TAPEINFORMATION_H

#include "orvTapeItf.h"

/**
 * Counts blocks and bytes per file and over a whole tape and prints them as
 * console lines, numbers grouped by thousands with commas.  It never touches
 * an image and nothing in it can fail; the 32-bit counters wrap silently.
 * Hosts read the counters and set the two switches directly.
 */
class ORVTAPE_API TapeInformation {
public:
    unsigned int fileBytes;       ///< bytes of the current file's data blocks (wraps)
    unsigned int fileCount;       ///< files closed so far; numbers the current file from 0
    unsigned int fileBlocks;      ///< data blocks in the current file
    unsigned int fileMinBlk;      ///< smallest block of the current file; 0xFFFFFFFF when none
    unsigned int fileMaxBlk;      ///< largest block of the current file
    unsigned int tapeMinBlk;      ///< smallest block of the tape; 0xFFFFFFFF when none
    unsigned int tapeMaxBlk;      ///< largest block of the tape
    unsigned long long totalBytes;///< bytes of all data blocks
    bool showProgress;            ///< print a running line ("\r") after every data block
    bool showReport;              ///< print each closed file's line and the summary

    /** Starts at file 0 with nothing counted; showReport on, showProgress off. */
    TapeInformation();
    /** Owns nothing; does nothing. */
    ~TapeInformation();

    /**
     * Counts a data block of blockLen bytes (printing the running line, ended
     * by a carriage return, when showProgress is set), or, when blockLen is 0,
     * closes the current file: prints its line when showReport is set and
     * starts the next file.
     */
    void tally(unsigned int blockLen);
    /**
     * Prints the summary line (files, smallest and largest block, total
     * bytes) when showReport is set; resets nothing and may be repeated.
     */
    void summary();
};

#endif  // ORV_TAPE_TAPEINFORMATION_H
