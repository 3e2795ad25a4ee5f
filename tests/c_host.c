/* A host written in C11 against orvTapeItf.h alone: writes a small volume,
 * reads it back forwards and backwards, and positions on it.  Exit status 0
 * means every check held. */
#include "orvTapeItf.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

void writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    va_list ap;
    (void)level;
    (void)messageId;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
}

static int failures = 0;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,    \
                    __LINE__, #cond);                                 \
            ++failures;                                               \
        }                                                             \
    } while (0)

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "c_host.tape";
    char block[3000];
    char back[4000];
    orvTapeHandle tape = orvTapeCreate();
    unlink(path);

    CHECK(orvTapeRead(NULL, back, sizeof back) == -1);
    CHECK(orvTapeOpen(tape, path, false) == 0);
    CHECK(orvTapeIsReady(tape) && orvTapeIsBOT(tape) && !orvTapeIsWrtProt(tape));

    for (int i = 0; i < (int)sizeof block; ++i) block[i] = (char)(i * 7);
    orvTapeSetMaxSegLen(tape, 1000); /* three segments per block */
    orvTapeSetEncrypt(tape, true);
    CHECK(orvTapeWrite(tape, block, sizeof block) == (int)sizeof block);
    orvTapeSetEncrypt(tape, false);
    CHECK(orvTapeWrite(tape, block, 100) == 100);
    CHECK(orvTapeWTM(tape, 1) == 0);
    CHECK(orvTapeWrite(tape, "last", 4) == 4);
    CHECK(orvTapeWTM(tape, 2) == 0);
    CHECK(orvTapeGetBlockID(tape) == 6 && orvTapeGetFileNumber(tape) == 3);

    CHECK(orvTapeREW(tape) == 0 && orvTapeIsBOT(tape));
    memset(back, 0, sizeof back);
    CHECK(orvTapeRead(tape, back, sizeof back) == (int)sizeof block);
    CHECK(memcmp(back, block, sizeof block) == 0);
    CHECK(orvTapeRead(tape, back, 10) == 100 && memcmp(back, block, 10) == 0);
    CHECK(orvTapeRead(tape, back, sizeof back) == 0 && orvTapeIsTPMK(tape));
    CHECK(orvTapeGetFileNumber(tape) == 1);

    CHECK(orvTapeFSF(tape, 1) == 0 && orvTapeGetBlockID(tape) == 5);
    CHECK(orvTapeBSR(tape, 1) == 0 && orvTapeIsTPMK(tape));
    memset(back, 0, sizeof back);
    CHECK(orvTapeReadBkwd(tape, back, 8) == 4 && memcmp(back + 4, "last", 4) == 0);
    CHECK(orvTapeBSF(tape, 1) == 0 && orvTapeGetBlockID(tape) == 2);
    CHECK(orvTapeLocate(tape, 1) == 2 && orvTapeGetBlockID(tape) == 1);
    CHECK(orvTapeReadBkwd(tape, back, sizeof back) == (int)sizeof block);
    CHECK(memcmp(back + sizeof back - sizeof block, block, sizeof block) == 0);
    CHECK(orvTapeReadBkwd(tape, back, sizeof back) == -4 && orvTapeIsBOT(tape));
    CHECK(orvTapeLocate(tape, 99) == -2 && orvTapeGetBlockID(tape) == 6);
    CHECK(orvTapeGetLastRC(tape) == -2);

    CHECK(orvTapeClose(tape) == 0 && !orvTapeIsReady(tape));
    orvTapeDestroy(tape);
    unlink(path);
    if (failures == 0) printf("c host: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
