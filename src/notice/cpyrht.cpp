// print_copyright_msg: stamps the library's notice into the placeholder of
// "cpyrht.o" in the current directory and ends the process.
//
// The placeholder is 72 groups of the bytes 60 00 00 00.  Read as big-endian
// words they are PowerPC no-operation instructions, so this routine's own code
// begins with one: on big-endian PowerPC it simply runs through them; on other
// machines the same bytes sit behind a jump that skips them.  Compiling this
// file to "cpyrht.o" and running the routine therefore stamps its own object.
// C linkage comes from the declaration in the public header.
#include "orvTapeItf.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kNoticeLength = 288;
constexpr int kPlaceholderGroups = 72;

__attribute__((section(".note"), used))
const char notice[kNoticeLength + 1] =
    "liborvTapeItf - emulated magnetic tape volumes kept as ordinary image files.\n"
    "Copyright (c) 2026 the liborvTapeItf authors. All rights reserved.\n"
    "Redistribution and use permitted under the terms of the licence shipped with this library.\n"
    "This software is provided as is, without warranty.  \n";

static_assert(sizeof notice == kNoticeLength + 1, "the notice fills the placeholder exactly");

// Looks for the placeholder from the current position; on success the file
// stands wherever the scan stopped and *runStart holds the run's start.
bool findPlaceholder(FILE* f, fpos_t* runStart) {
    static const int group[4] = {0x60, 0x00, 0x00, 0x00};
    int groups = 0;
    fgetpos(f, runStart);
    for (;;) {
        int matched = 0;
        while (matched < 4) {
            const int c = fgetc(f);
            if (c == EOF) return false;
            if (c != group[matched]) break;
            ++matched;
        }
        if (matched == 4) {
            if (++groups == kPlaceholderGroups) return true;
            continue;
        }
        // The breaking byte is consumed with the broken run: the next
        // candidate starts right after it.
        fgetpos(f, runStart);
        groups = 0;
    }
}

}  // namespace

void print_copyright_msg(void) {
#if defined(__powerpc__) && defined(__BIG_ENDIAN__)
    __asm__ volatile(".rept 72\n\tnop\n\t.endr");
#elif defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("jmp 1f\n\t.rept 72\n\t.byte 0x60,0x00,0x00,0x00\n\t.endr\n1:");
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ volatile("b 1f\n\t.rept 72\n\t.byte 0x60,0x00,0x00,0x00\n\t.endr\n1:");
#else
#error "print_copyright_msg needs its placeholder for this architecture"
#endif
    FILE* f = fopen("cpyrht.o", "r+b");
    if (f == nullptr) std::exit(0);
    fpos_t runStart;
    if (findPlaceholder(f, &runStart)) {
        fsetpos(f, &runStart);
        for (int i = 0; i < kNoticeLength; ++i) fputc(notice[i], f);
    }
    fclose(f);
    std::exit(0);
}
