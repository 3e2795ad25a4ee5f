// tap.cpp - interchange with the simple "tap" format.
//
// A record is its length as a 4-byte little-endian word, its data, one zero
// pad byte when the length is odd, and the same length word again.  A
// tapemark is a zero word.  0xFFFFFFFF marks the end of the medium and
// 0xFFFFFFFE an erase gap.  A word with its top bit set flags a record that
// was read with an error; its length is in the low 24 bits.  Transforms do
// not travel: export delivers the data, import stores it as asked.
#include "orvtape.h"
#include "progress.h"
#include "safe_file.h"
#include "volume.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvtool {

namespace {

constexpr uint32_t kEndOfMedium = 0xFFFFFFFFu;
constexpr uint32_t kEraseGap = 0xFFFFFFFEu;
constexpr uint32_t kErrorFlag = 0x80000000u;
constexpr uint32_t kErrorLengthMask = 0x00FFFFFFu;

void putWord(unsigned char* p, uint32_t w) {
    p[0] = static_cast<unsigned char>(w);
    p[1] = static_cast<unsigned char>(w >> 8);
    p[2] = static_cast<unsigned char>(w >> 16);
    p[3] = static_cast<unsigned char>(w >> 24);
}

uint32_t getWord(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct FileCloser {
    FILE* f;
    ~FileCloser() {
        if (f) std::fclose(f);
    }
};

}  // namespace

int cmdExport(const Options& o) {
    ORVtape tape;
    ImageLock lock;
    mountForReading(tape, o.source, lock);
    const long long size = imageSize(tape);
    refuseSameFile(o.source, STDIN_FILENO, o.target, STDOUT_FILENO);
    refuseToReplace(o.target, o.force, true);
    NewFile file(o.target, true);
    FILE* out = fdopen(dup(file.fd()), "wb");
    if (!out) throw ToolError(o.target, "cannot write " + cause(0, errno));
    FileCloser closer{out};
    std::vector<char> buf(static_cast<size_t>(tape.maxRecordSize));  // the one block buffer
    Progress progress("export", static_cast<unsigned long long>(size), o.quiet);
    long long records = 0, marks = 0;
    {
        for (;;) {
            tape.getPosition();
            long long at = tape.curPos;
            int rc = readWhole(tape, buf);
            if (rc == -2 && at >= size) break;
            if (rc < 0) throw readError(o.source, tape, at, rc);
            unsigned char word[4];
            putWord(word, static_cast<uint32_t>(rc));
            bool ok = std::fwrite(word, 4, 1, out) == 1;
            if (rc > 0) {
                static const char pad = 0;
                ok = ok && std::fwrite(buf.data(), 1, static_cast<size_t>(rc), out) ==
                               static_cast<size_t>(rc);
                if (rc & 1) ok = ok && std::fwrite(&pad, 1, 1, out) == 1;
                ok = ok && std::fwrite(word, 4, 1, out) == 1;
                ++records;
            } else {
                ++marks;
            }
            if (!ok) throw ToolError(o.target, "cannot write " + cause(0, errno));
            tape.getPosition();
            progress.advance(static_cast<unsigned long long>(tape.curPos - at));
        }
        closer.f = nullptr;
        if (std::fclose(out) != 0) throw ToolError(o.target, "cannot write " + cause(0, errno));
    }
    file.commit();
    progress.finish();
    note(o, "%s: %lld records and %lld tapemarks exported", o.target.c_str(), records, marks);
    return kExitOk;
}

int cmdImport(const Options& o) {
    FILE* in = o.source == "-" ? fdopen(dup(STDIN_FILENO), "rb") : std::fopen(o.source.c_str(), "rb");
    if (!in) throw ToolError(o.source, "cannot open the file " + cause(0, errno));
    FileCloser closer{in};
    struct stat st;
    if (fstat(fileno(in), &st) == 0 && S_ISDIR(st.st_mode))
        throw ToolError(o.source, "cannot read the file " + cause(0, EISDIR));
    unsigned long long inSize = S_ISREG(st.st_mode) ? static_cast<unsigned long long>(st.st_size) : 0;

    ORVtape tape;
    refuseSameFile(o.source, STDIN_FILENO, o.target, STDOUT_FILENO);
    refuseToReplace(o.target, o.force, false);
    ImageLock lock;
    if (o.target != "-") lock.lockPath(o.target, true);
    NewFile file(o.target, false);
    long long records = 0, marks = 0, gaps = 0, flagged = 0;
    bool warned = false;
    {
        mountForWriting(tape, file.path());
        tape.rew();
        tape.erase();  // start from an empty file, not the five tapemarks of a new image
        applyWriteSettings(tape, o);
        std::vector<char> buf(static_cast<size_t>(tape.maxRecordSize) + 1);  // data and pad
        Progress progress("import", inSize, o.quiet);
        long long at = 0;  // offset of the word being read
        auto bad = [&](const std::string& what) {
            return ToolError(o.source, "offset " + std::to_string(at) + ": " + what);
        };
        auto readExact = [&](void* p, size_t n, const char* what) {
            size_t got = std::fread(p, 1, n, in);
            if (got == n) return;
            if (std::ferror(in)) throw ToolError(o.source, "cannot read " + cause(0, errno));
            throw bad(std::string("the file ends inside ") + what);
        };
        for (;;) {
            unsigned char word[4];
            size_t got = std::fread(word, 1, 4, in);
            if (got == 0 && !std::ferror(in)) break;
            if (got != 4) readExact(word + got, 4 - got, "a length word");
            uint32_t w = getWord(word);
            if (w == kEndOfMedium) break;
            if (w == kEraseGap) {
                ++gaps;
                at += 4;
                continue;
            }
            if (w == 0) {
                writeBlock(tape, o.target, nullptr, 0, 0);
                ++marks;
                at += 4;
                progress.advance(4);
                continue;
            }
            uint32_t len = (w & kErrorFlag) ? (w & kErrorLengthMask) : w;
            size_t stored = len + (len & 1);
            if (len > static_cast<uint32_t>(tape.maxRecordSize)) {
                // Longer blocks are taken up to --max-block, which reading
                // takes too, and from a file only when it really holds them,
                // so a damaged length word cannot ask for any amount of memory.
                if (len > maxBlockBytes)
                    throw bad("a record of " + std::to_string(len) + " bytes is longer than "
                              "--max-block (" + std::to_string(maxBlockBytes) + ")");
                if (inSize && at + 8 + static_cast<long long>(stored) > static_cast<long long>(inSize))
                    throw bad("a record of " + std::to_string(len) +
                              " bytes is longer than the rest of the file");
                tape.setMaxRecordSize(static_cast<int>(len));
                buf.resize(stored);
            }
            readExact(buf.data(), stored, "a record");
            readExact(word, 4, "a record's closing length word");
            if (getWord(word) != w)
                throw bad("the record's closing length word differs from its opening one");
            if (w & kErrorFlag) {
                ++flagged;
                warn("%s: record %lld at offset %lld was read with an error; %s",
                     o.source.c_str(), records + marks, at,
                     len ? "imported as it is" : "it is empty and skipped");
            }
            if (len > 0) {
                int x = (o.compress ? HF2_BZ2 : 0) | (o.scramble ? HF2_SCRAMBLE : 0);
                writeBlock(tape, o.target, buf.data(), len, x);
                warnAtCapacity(tape, o, o.target, "record " + std::to_string(records), warned);
                ++records;
            }
            at += 8 + static_cast<long long>(stored);
            progress.advance(8 + stored);
        }
        progress.finish();
        errno = 0;
        if (tape.close() != 0) throw ToolError(o.target, "cannot close the image " + cause(tape));
    }
    file.commit();
    note(o, "%s: %lld records and %lld tapemarks imported (%lld erase gaps skipped, %lld "
            "records flagged as read with an error)",
         o.target.c_str(), records, marks, gaps, flagged);
    return kExitOk;
}

}  // namespace orvtool
