/* st_shim.c - a stand-in SCSI tape drive for tests, preloaded (LD_PRELOAD):
 * the path in ST_SHIM_PATH acts as a tape device in variable-block mode over
 * the tape scripted in ST_SHIM_TAPE, one entry a line:
 *   block SIZE SEED [COUNT]   COUNT generated blocks, seeds SEED, SEED+1, ...
 *   bad SIZE SEED FAILS       a block whose reads fail FAILS times (-1: always)
 *   mark [COUNT]  protect  gone (the drive goes away here)  interrupt (SIGINT here)
 *   skew K                    status reports every block number K too high
 *   garble [K]                the first byte of every block written at entry K (0) or later is saved inverted
 *   short K                   a write of more than K bytes writes K of them (0: every write fails with EIO)
 *   tap PATH                  the records and tapemarks of a tap file
 * Reading past the last entry fails with EIO at end of data.  A tape written
 * is saved to ST_SHIM_OUT as a tap file at close; the position is kept in
 * ST_SHIM_POS between processes.  Block content: byte i of seed s is
 * pattern[(s * 4099 + i) % 65536], the pattern from a fixed LCG. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

typedef struct { long size; unsigned seed; int fails; unsigned char* bytes; } Entry; /* size -1: a tapemark */
enum { kPat = 65536 };
static Entry* tape;
static long n, cap, pos, gone = -1, interrupt = -1, skew, shortAt = -1, garbleFrom = -1;
static int dev = -1, protect, isGone, wrote, lastWasWrite, atEnd; /* atEnd: the drive met the end of data */
static unsigned char pat[2 * kPat];

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static Entry* add(long size) {
    if (n == cap) tape = realloc(tape, (cap = cap * 2 + 64) * sizeof *tape);
    memset(&tape[n], 0, sizeof *tape);
    tape[n].size = size;
    return &tape[n++];
}

static void cutAtHead(void) { /* writing ends the tape where it writes */
    while (n > pos) free(tape[--n].bytes);
}

static void loadTap(const char* path) {
    FILE* f = fopen(path, "rb");
    unsigned char w[4];
    while (f && fread(w, 1, 4, f) == 4) {
        unsigned len = w[0] | w[1] << 8 | w[2] << 16 | (unsigned)w[3] << 24;
        if (len == 0) { add(-1); continue; }
        if (len == 0xFFFFFFFFu) break;
        Entry* e = add(len);
        e->bytes = malloc(len);
        if (fread(e->bytes, 1, len, f) != len || fseek(f, (len & 1) + 4, SEEK_CUR)) break;
    }
    if (f) fclose(f);
}

static void load(void) {
    unsigned x = 12345;
    for (int i = 0; i < kPat; ++i) pat[i] = pat[i + kPat] = 'a' + ((x = x * 1103515245u + 12345u) >> 16) % 26;
    pos = 0;
    cutAtHead();
    isGone = wrote = lastWasWrite = 0;
    gone = interrupt = shortAt = garbleFrom = -1;
    skew = 0;
    FILE* f = fopen(getenv("ST_SHIM_TAPE"), "r");
    char line[4200], word[16], arg[4096];
    while (f && fgets(line, sizeof line, f)) {
        long a = 0, b = 0, c = 1;
        int got = sscanf(line, "%15s %ld %ld %ld", word, &a, &b, &c);
        if (got < 1) continue;
        if (!strcmp(word, "block") || !strcmp(word, "bad"))
            for (long i = 0; i < (word[0] == 'b' && word[1] == 'a' ? 1 : c); ++i) {
                Entry* e = add(a);
                e->seed = (unsigned)(b + i);
                e->fails = word[1] == 'a' ? (int)c : 0;
            }
        else if (!strcmp(word, "mark"))
            for (long i = 0; i < (got > 1 ? a : 1); ++i) add(-1);
        else if (!strcmp(word, "protect")) protect = 1;
        else if (!strcmp(word, "skew")) skew = a;
        else if (!strcmp(word, "garble")) garbleFrom = got > 1 ? a : 0;
        else if (!strcmp(word, "short")) shortAt = a;
        else if (!strcmp(word, "gone")) gone = n;
        else if (!strcmp(word, "interrupt")) interrupt = n;
        else if (!strcmp(word, "tap") && sscanf(line, "%*s %4095s", arg) == 1) loadTap(arg);
    }
    if (f) fclose(f);
    const char* p = getenv("ST_SHIM_POS");
    FILE* s = p ? fopen(p, "r") : NULL;
    if (s && fscanf(s, "%ld", &pos) != 1) pos = 0;
    if (s) fclose(s);
    atEnd = pos >= n;
}

static int mine(const char* path) { return path && getenv("ST_SHIM_PATH") && !strcmp(path, getenv("ST_SHIM_PATH")); }

static int openDevice(void) {
    load();
    return dev = REAL(open)("/dev/null", O_RDWR);
}

#define OPEN_WITH_MODE(name, params, args)                                        \
    int name params {                                                            \
        va_list ap;                                                              \
        va_start(ap, flags);                                                     \
        mode_t mode = va_arg(ap, mode_t);                                        \
        va_end(ap);                                                              \
        return mine(path) ? openDevice() : REAL(name) args;                      \
    }
OPEN_WITH_MODE(open, (const char* path, int flags, ...), (path, flags, mode))
OPEN_WITH_MODE(open64, (const char* path, int flags, ...), (path, flags, mode))
OPEN_WITH_MODE(openat, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
int __open_2(const char* path, int flags) { return mine(path) ? openDevice() : REAL(open)(path, flags); }
int __open64_2(const char* path, int flags) { return mine(path) ? openDevice() : REAL(open64)(path, flags); }

static void fill(unsigned char* to, const Entry* e) {
    if (e->bytes) { memcpy(to, e->bytes, e->size); return; }
    for (long done = 0, step; done < e->size; done += step) {
        step = e->size - done < kPat ? e->size - done : kPat;
        memcpy(to + done, pat + (e->seed * 4099u + done) % kPat, step);
    }
}

static ssize_t fail(int err) { errno = err; return -1; }

static ssize_t readTape(void* buf, size_t count) {
    lastWasWrite = atEnd = 0;
    if (pos == gone) isGone = 1;
    if (isGone) return fail(ENXIO);
    if (pos == interrupt) { interrupt = -1; raise(SIGINT); }
    if (pos >= n) return atEnd = 1, fail(EIO);
    Entry* e = &tape[pos++];
    if (e->size < 0) return 0;
    if (e->fails) { e->fails -= e->fails > 0; return fail(EIO); }
    if ((size_t)e->size > count) return fail(ENOMEM);
    fill(buf, e);
    return e->size;
}
ssize_t read(int fd, void* buf, size_t count) {
    return fd == dev && dev >= 0 ? readTape(buf, count) : REAL(read)(fd, buf, count);
}
ssize_t __read_chk(int fd, void* buf, size_t count, size_t room) {
    (void)room;
    return fd == dev && dev >= 0 ? readTape(buf, count) : REAL(read)(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
    if (fd != dev || dev < 0) return REAL(write)(fd, buf, count);
    if (isGone) return fail(ENXIO);
    if (protect) return fail(EACCES);
    if (shortAt == 0) return fail(EIO);
    if (shortAt > 0 && count > (size_t)shortAt) count = (size_t)shortAt;
    cutAtHead();
    Entry* e = add((long)count);
    memcpy(e->bytes = malloc(count + 1), buf, count);
    if (garbleFrom >= 0 && pos >= garbleFrom && count) e->bytes[0] ^= 0xFF;
    ++pos;
    wrote = lastWasWrite = 1;
    return (ssize_t)count;
}

/* Spaces over count entries of the kind wanted (marks or records), forward or
 * back; a record spacing stops past a tapemark with EIO.  Back over a mark
 * ends before it, on its load-point side. */
static int space(long count, int marks, int dir) {
    for (; count > 0; --count) {
        for (;;) {
            if (dir > 0 ? pos >= n : pos <= 0) return (int)fail(EIO);
            const Entry* e = &tape[dir > 0 ? pos : pos - 1];
            pos += dir;
            if (marks == (e->size < 0)) break;
            if (!marks) return (int)fail(EIO);
        }
    }
    return 0;
}

static int operation(const struct mtop* op) {
    if (op->mt_op != MTWEOF) lastWasWrite = 0;
    atEnd = op->mt_op == MTEOM;
    switch (op->mt_op) {
    case MTREW: case MTOFFL: case MTUNLOAD: pos = 0; return 0;
    case MTNOP: case MTLOAD: case MTSETBLK: case MTSETDRVBUFFER: return 0;
    case MTFSF: return space(op->mt_count, 1, 1);
    case MTBSF: return space(op->mt_count, 1, -1);
    case MTFSR: return space(op->mt_count, 0, 1);
    case MTBSR: return space(op->mt_count, 0, -1);
    case MTEOM: pos = n; return 0;
    case MTWEOF:
        if (protect) return (int)fail(EACCES);
        cutAtHead();
        for (int i = 0; i < op->mt_count; ++i) add(-1), ++pos;
        wrote = 1;
        lastWasWrite = 0;
        return 0;
    }
    return (int)fail(EINVAL);
}

static void status(struct mtget* g) {
    long file = 0, block = 0;
    for (long i = 0; i < pos && i < n; ++i) block = tape[i].size < 0 ? (++file, 0) : block + 1;
    memset(g, 0, sizeof *g);
    g->mt_type = MT_ISSCSI2;
    g->mt_fileno = file;
    g->mt_blkno = block + skew;
    g->mt_gstat = GMT_ONLINE(~0) | (pos == 0 ? GMT_BOT(~0) : 0) | (atEnd ? GMT_EOD(~0) : 0) |
                  (pos > 0 && pos <= n && tape[pos - 1].size < 0 ? GMT_EOF(~0) : 0) | (protect ? GMT_WR_PROT(~0) : 0);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd != dev || dev < 0) return REAL(ioctl)(fd, request, arg);
    if (isGone) return (int)fail(ENXIO);
    if (request == MTIOCTOP) return operation(arg);
    if (request == MTIOCGET) return status(arg), 0;
    if (request == MTIOCPOS) return ((struct mtpos*)arg)->mt_blkno = pos, 0;
    return (int)fail(ENOTTY);
}

static void put32(FILE* f, unsigned v) {
    unsigned char w[4] = {v & 255, v >> 8 & 255, v >> 16 & 255, v >> 24};
    fwrite(w, 1, 4, f);
}

int close(int fd) {
    if (fd != dev || dev < 0) return REAL(close)(fd);
    if (lastWasWrite) add(-1), ++pos; /* the driver ends a written file with a filemark */
    const char* out = getenv("ST_SHIM_OUT");
    FILE* f = wrote && out ? fopen(out, "wb") : NULL;
    static const unsigned char zero = 0;
    for (long i = 0; f && i < n; ++i) {
        if (tape[i].size < 0) { put32(f, 0); continue; }
        put32(f, (unsigned)tape[i].size);
        unsigned char* b = malloc(tape[i].size + 1);
        fill(b, &tape[i]);
        fwrite(b, 1, tape[i].size, f);
        if (tape[i].size & 1) fwrite(&zero, 1, 1, f);
        put32(f, (unsigned)tape[i].size);
        free(b);
    }
    if (f) fclose(f);
    const char* p = getenv("ST_SHIM_POS");
    if (p && (f = fopen(p, "w"))) fprintf(f, "%ld\n", pos), fclose(f);
    dev = -1;
    return REAL(close)(fd);
}
