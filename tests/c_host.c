/* A host written in C11 against orvTapeItf.h alone: writes a small volume
 * through the C interface, reads it back and positions on it.  Exit status 0
 * means every check held. */
#include "orvTapeItf.h"
#include "orvTapeStream.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* Every host supplies the console function, with an int or a void result;
 * this one is built both ways (-DLOG_RESULT_VOID).  Only the report class calls it. */
#ifdef LOG_RESULT_VOID
void writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    (void)level, (void)messageId, (void)format;
}
#else
int writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    return (void)messageId, (void)format, level;
}
#endif

static int failures = 0;
#define CHECK(cond) \
    ((cond) ? (void)0 : (void)(fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond), ++failures))

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "c_host.tape";
    char block[3000], back[4000];
    orvTapeHandle tape = orvTapeCreate();
    for (int i = 0; i < (int)sizeof block; ++i) block[i] = (char)(i * 7);
    unlink(path);

    CHECK(orvTapeRead(NULL, back, sizeof back) == -1);
    CHECK(orvTapeOpen(tape, path, false) == 0 && orvTapeIsBOT(tape) && !orvTapeIsWrtProt(tape));
    orvTapeSetMaxSegLen(tape, 1000); /* a scrambled block of three segments */
    orvTapeSetEncrypt(tape, true);
    CHECK(orvTapeWrite(tape, block, sizeof block) == (int)sizeof block);
    orvTapeSetEncrypt(tape, false);
    CHECK(orvTapeWrite(tape, block + 500, 100) == 100 && orvTapeWTM(tape, 1) == 0);
    CHECK(orvTapeWrite(tape, "last", 4) == 4 && orvTapeWTM(tape, 2) == 0);
    CHECK(orvTapeGetBlockID(tape) == 6 && orvTapeGetFileNumber(tape) == 3);

    CHECK(orvTapeREW(tape) == 0 && orvTapeRead(tape, back, sizeof back) == (int)sizeof block &&
          memcmp(back, block, sizeof block) == 0);
    CHECK(orvTapeRead(tape, back, 10) == 100 && memcmp(back, block + 500, 10) == 0);
    CHECK(orvTapeRead(tape, back, sizeof back) == 0 && orvTapeIsTPMK(tape));
    CHECK(orvTapeFSF(tape, 1) == 0 && orvTapeBSR(tape, 1) == 0 && orvTapeGetBlockID(tape) == 4);
    CHECK(orvTapeReadBkwd(tape, back, 8) == 4 && memcmp(back + 4, "last", 4) == 0);
    CHECK(orvTapeBSF(tape, 1) == 0 && orvTapeGetBlockID(tape) == 2);
    CHECK(orvTapeLocate(tape, 1) == 2 && orvTapeGetBlockID(tape) == 1);
    CHECK(orvTapeReadBkwd(tape, back, sizeof back) == (int)sizeof block &&
          memcmp(back + sizeof back - sizeof block, block, sizeof block) == 0);
    CHECK(orvTapeReadBkwd(tape, back, sizeof back) == -4 && orvTapeIsBOT(tape));
    CHECK(orvTapeLocate(tape, 99) == -2 && orvTapeGetLastRC(tape) == -2);
    CHECK(orvTapeClose(tape) == 0 && !orvTapeIsReady(tape));
    orvTapeDestroy(tape);

    /* The volume read by the streaming reader and copied, stored forms as
     * they are, by the streaming writer: the copy is the same file. */
    orvTapeReaderHandle reader = orvTapeReaderCreate();
    orvTapeWriterHandle writer = orvTapeWriterCreate();
    orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT;
    int rc;
    char copy[4096], image[2][8192];
    snprintf(copy, sizeof copy, "%s.copy", path);
    unlink(copy);
    orvTapeWriterSetMaxSegLen(writer, 1000);
    CHECK(orvTapeReaderOpen(reader, path) == 0 && orvTapeWriterOpen(writer, copy, 0, 0) == 0);
    CHECK(orvTapeReaderNext(reader, &b, ORVTAPE_READ_DECODE) == 3000 && b.segments == 3 && memcmp(b.data, block, 3000) == 0);
    do CHECK(orvTapeWriterWriteBlock(writer, &b) == (int)b.storedLength && b.storedValid == b.storedLength);
    while ((rc = orvTapeReaderNext(reader, &b, ORVTAPE_READ_STORED)) >= 0);
    CHECK(rc == ORVTAPE_END && b.blockNumber == 6 && b.offset == 3152 && orvTapeWriterClose(writer) == ORVTAPE_OK);
    for (int i = 0; i < 2; ++i) {
        FILE* f = fopen(i ? copy : path, "rb");
        CHECK(f != NULL && fread(image[i], 1, sizeof image[i], f) == 3152 && fclose(f) == 0);
    }
    CHECK(memcmp(image[0], image[1], 3152) == 0);
    orvTapeReaderDestroy(reader);
    orvTapeWriterDestroy(writer);
    return failures != 0;
}
