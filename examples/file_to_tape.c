/*
 * file_to_tape: copies a file onto a tape image as 32 KiB blocks, ends the
 * volume with two tapemarks, then rewinds and reads the blocks back,
 * comparing them with the file.
 *
 *     file_to_tape INPUT-FILE TAPE-IMAGE
 *
 * Build:  cc -std=c11 file_to_tape.c $(pkg-config --cflags --libs orvTapeItf)
 */
#include <orvTapeItf.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* Every host defines this: the library prints its report lines through it.
 * This program uses no report, so a plain printf is enough. */
void writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    va_list ap;
    (void)level;
    (void)messageId;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}

enum { BLOCK = 32768 };

/* Prints what went wrong, with the code and errno the library kept. */
static int fail(orvTapeHandle tape, const char* what) {
    fprintf(stderr, "file_to_tape: %s failed (code %d, errno %d)\n", what,
            orvTapeGetLastRC(tape), orvTapeGetLastErrno(tape));
    orvTapeDestroy(tape);
    return 1;
}

int main(int argc, char** argv) {
    static char data[BLOCK], back[BLOCK];
    if (argc != 3) {
        fprintf(stderr, "usage: file_to_tape INPUT-FILE TAPE-IMAGE\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in) {
        perror(argv[1]);
        return 1;
    }

    /* A handle is one tape drive.  Opening a missing image creates it. */
    orvTapeHandle tape = orvTapeCreate();
    if (orvTapeOpen(tape, argv[2], false) != 0) return fail(tape, "open");
    if (orvTapeIsWrtProt(tape)) return fail(tape, "open for writing");
    orvTapeSetCompress(tape, true); /* settings last until close */

    /* Writing at the load point replaces whatever the image held. */
    size_t n;
    long blocks = 0;
    while ((n = fread(data, 1, BLOCK, in)) > 0) {
        if (orvTapeWrite(tape, data, (unsigned)n) != (int)n) return fail(tape, "write");
        ++blocks;
    }
    if (orvTapeWTM(tape, 2) != 0) return fail(tape, "tapemark");
    printf("wrote %ld blocks, %d tapemarks\n", blocks, orvTapeGetFileNumber(tape));

    /* Read everything back up to the first tapemark and compare. */
    if (orvTapeREW(tape) != 0) return fail(tape, "rewind");
    rewind(in);
    int len;
    while ((len = orvTapeRead(tape, back, BLOCK)) > 0) {
        n = fread(data, 1, BLOCK, in);
        if (len > BLOCK || (size_t)len != n || memcmp(data, back, n) != 0) {
            fprintf(stderr, "file_to_tape: block %d differs\n", orvTapeGetBlockID(tape));
            orvTapeDestroy(tape);
            return 1;
        }
    }
    if (len < 0) return fail(tape, "read");
    if (fread(data, 1, 1, in) != 0 || !orvTapeIsTPMK(tape)) {
        fprintf(stderr, "file_to_tape: tape ended early\n");
        orvTapeDestroy(tape);
        return 1;
    }
    fclose(in);
    printf("read back %d blocks, identical\n", orvTapeGetBlockID(tape) - 1);

    orvTapeClose(tape);
    orvTapeDestroy(tape);
    return 0;
}
