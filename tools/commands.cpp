// commands.cpp - init, put, ls, get and dump.
#include "orvtape.h"
#include "progress.h"
#include "volume.h"

#include <TapeInformation.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

using Json = nlohmann::ordered_json;

namespace {

// Reads up to n bytes, retrying short reads so that every block but the
// last of a file is full.  Returns the count, or -1 with errno set.
long long readFull(int fd, char* p, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long long>(got);
}

bool writeFull(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd > STDERR_FILENO) ::close(fd);
    }
};

struct InputFiles {
    std::vector<int> fds;
    ~InputFiles() {
        for (int fd : fds)
            if (fd > STDERR_FILENO) ::close(fd);
    }
};

}  // namespace

int cmdInit(const Options& o) {
    prepareNewImage(o.image, o.force);
    ORVtape tape;
    mountForWriting(tape, o.image);
    // An empty volume holds only its end-of-volume mark.
    tape.rew();
    writeTapemark(tape, o.image);
    if (tape.close() != 0) throw ToolError(o.image, "cannot close the image " + cause(tape));
    note(o, "%s: new empty volume", o.image.c_str());
    return kExitOk;
}

int cmdPut(const Options& o) {
    ORVtape tape;
    if (o.blockSize < 1 || o.blockSize > static_cast<unsigned long long>(tape.maxRecordSize))
        throw ToolError("", "--block-size must be 1 to " + std::to_string(tape.maxRecordSize) +
                                " bytes",
                        kExitUsage);

    // Open every input first, so that a missing file changes nothing.
    InputFiles opened;
    std::vector<int>& inputs = opened.fds;
    int stdinUses = 0;
    for (const auto& f : o.files) {
        int fd = STDIN_FILENO;
        if (f != "-") refuseSameFile(f, o.image);  // never read the volume being written
        if (f == "-") {
            if (++stdinUses > 1)
                throw ToolError("", "standard input can be put only once", kExitUsage);
        } else {
            fd = ::open(f.c_str(), O_RDONLY);
            struct stat st;
            if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
                ::close(fd);
                fd = -1;
                errno = EISDIR;
            }
            if (fd < 0) throw ToolError(f, "cannot open the file " + cause(0, errno));
        }
        inputs.push_back(fd);
    }

    struct stat st;
    bool fresh = stat(o.image.c_str(), &st) != 0 || st.st_size == 0;
    mountForWriting(tape, o.image);
    int start = 0;  // block number where the new files begin
    if (o.append && !fresh) {
        VolumeEnd end = walkToEnd(tape, o.image);
        start = end.blocks;
        if (end.hasEndMark) {
            if (tape.bsr(1) != 0)
                throw ToolError(o.image, "cannot step back over the end mark " + cause(tape));
            start = end.blocks - 1;
        } else if (end.blocks > 0 && !end.endsInTapemark) {
            // The last file was never closed: close it before adding more.
            warn("%s: the last file had no closing tapemark; closing it", o.image.c_str());
            writeTapemark(tape, o.image);
            ++start;
        }
    } else {
        tape.rew();
    }
    applyWriteSettings(tape, o);

    unsigned long long total = 0;
    for (int fd : inputs)
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) total += st.st_size;
    Progress progress("put", total, o.quiet);
    std::unique_ptr<char[]> buf(new char[o.blockSize]);  // the one block buffer
    bool warned = false;
    size_t done = 0;
    try {
        for (size_t i = 0; i < inputs.size(); ++i) {
            const std::string& name = o.files[i];
            for (;;) {
                long long n = readFull(inputs[i], buf.get(), o.blockSize);
                if (n < 0) throw ToolError(name, "cannot read the file " + cause(0, errno));
                if (n == 0) break;
                errno = 0;  // a short write leaves errno alone; report no stale value
                int rc = tape.write(buf.get(), static_cast<unsigned>(n));
                if (rc != n) throw ToolError(o.image, "cannot write a block " + cause(tape));
                progress.advance(static_cast<unsigned long long>(n));
                if (tape.eot && o.capacity > 0 && !warned) {
                    warned = true;
                    warn("%s: end-of-tape warning: the capacity of %llu bytes is reached at "
                         "block %d (file %s)",
                         o.image.c_str(), o.capacity, tape.blockID - 1, name.c_str());
                }
                if (n < static_cast<long long>(o.blockSize)) break;
            }
            writeTapemark(tape, o.image);
            start = tape.blockID;
            ++done;
        }
        writeTapemark(tape, o.image);
    } catch (const ToolError&) {
        progress.finish();
        // Keep every complete file: cut the volume after the last one and
        // close it again with its end mark.
        tape.sync = false;
        if (tape.rew() != 0 || tape.fsr(static_cast<unsigned>(start)) != 0 || tape.wtm(1) != 0)
            warn("%s: could not restore the end of the volume %s", o.image.c_str(),
                 cause(tape).c_str());
        else if (!o.quiet)
            warn("%s: kept the files before the failure (%zu of %zu new files written)",
                 o.image.c_str(), done, inputs.size());
        throw;
    }
    progress.finish();
    if (tape.close() != 0) throw ToolError(o.image, "cannot close the image " + cause(tape));
    note(o, "%s: %zu file%s written", o.image.c_str(), done, done == 1 ? "" : "s");
    return kExitOk;
}

int cmdLs(const Options& o) {
    ORVtape tape;
    mountForReading(tape, o.image);
    long long size = imageSize(tape);
    ORVtapeReader reader;
    openReader(reader, o.image);
    TapeInformation info;
    info.showReport = !o.json;
    Json files = Json::array(), blocks = Json::array();
    bool prevTm = true;
    auto closeFile = [&]() {
        if (o.json) {
            unsigned minBlk = info.fileMinBlk == 0xFFFFFFFFu ? 0 : info.fileMinBlk;
            files.push_back(Json{{"file", info.fileCount}, {"blocks", info.fileBlocks},
                                 {"bytes", info.fileBytes}, {"minBlock", minBlk},
                                 {"maxBlock", info.fileMaxBlk}});
        }
        info.tally(0);
    };
    int failure = 0;
    for (;;) {
        orvTapeBlockInfo b;
        int rc = reader.next(&b, ORVTAPE_READ_PASS);
        long long at = b.offset;
        // A block whose last segment runs past the end of the file is cut short.
        if (rc >= 0 && b.end > size) rc = -12;
        if (rc == -2 && at >= size) break;
        if (rc < 0) {
            std::fflush(stdout);
            std::fprintf(stderr, "orvtape: %s\n",
                         readError(o.image, b.blockNumber, reader.lastErrno(), at, rc).what());
            failure = kExitFailure;
            break;
        }
        bool endMark = rc == 0 && prevTm && b.end >= size;
        prevTm = rc == 0;
        const int xform = b.flags2 & (HF2_BZ2 | HF2_SCRAMBLE);
        if (o.blocks) {
            if (o.json) {
                Json j{{"block", b.blockNumber}, {"offset", at}};
                if (rc == 0) {
                    j["tapemark"] = true;
                } else {
                    j["file"] = info.fileCount;
                    j["stored"] = b.storedLength;
                    j["length"] = rc;
                    j["segments"] = b.segments;
                    j["transforms"] = transformName(xform);
                }
                blocks.push_back(j);
            } else if (rc == 0) {
                std::printf("  block %d  offset %lld  tapemark%s\n", b.blockNumber, at,
                            endMark ? " (end of volume)" : "");
            } else {
                std::printf("  block %d  offset %lld  stored %u  data %d  segments %u  %s\n",
                            b.blockNumber, at, b.storedLength, rc, b.segments, transformName(xform));
            }
        }
        if (endMark) continue;  // the end-of-volume mark closes no file
        if (rc == 0)
            closeFile();
        else
            info.tally(static_cast<unsigned>(rc));
    }
    if (info.fileBlocks > 0) {
        if (!o.json && !failure) {
            std::fflush(stdout);
            warn("%s: file %u has no closing tapemark", o.image.c_str(), info.fileCount);
        }
        closeFile();
    }
    info.summary();
    if (o.json) {
        unsigned minBlk = info.tapeMinBlk == 0xFFFFFFFFu ? 0 : info.tapeMinBlk;
        Json out{{"image", o.image},
                 {"imageBytes", size},
                 {"files", files},
                 {"total", Json{{"files", info.fileCount}, {"bytes", info.totalBytes},
                                {"minBlock", minBlk}, {"maxBlock", info.tapeMaxBlk}}}};
        if (o.blocks) out["blocks"] = blocks;
        if (failure) out["error"] = "the volume could not be read to its end";
        std::printf("%s\n", out.dump(2).c_str());
    }
    return failure;
}

int cmdGet(const Options& o) {
    ORVtape tape;
    mountForReading(tape, o.image);
    if (o.fileNo < 0 || o.fileNo > 0x7FFFFFFF)
        throw ToolError("", "the file number must be 0 or more", kExitUsage);
    long long size = imageSize(tape);
    tape.rew();
    int rc = tape.fsf(static_cast<unsigned>(o.fileNo));
    if (rc == -2 && tape.getPosition() && tape.curPos >= size)
        throw ToolError(o.image, "has no tape file " + std::to_string(o.fileNo) +
                                     " (it holds " + std::to_string(tape.fileNumber) +
                                     " tapemarks)");
    if (rc < 0) {
        tape.getPosition();
        throw readError(o.image, tape, tape.curPos, rc);
    }

    bool toStdout = o.out.empty() || o.out == "-";
    int out = STDOUT_FILENO;
    if (!toStdout) {
        out = ::open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0) throw ToolError(o.out, "cannot create the file " + cause(0, errno));
    }
    FdCloser closer{out};
    std::vector<char> buf(static_cast<size_t>(tape.maxRecordSize));  // the one block buffer
    Progress progress("get", 0, o.quiet);
    try {
        for (bool first = true;; first = false) {
            tape.getPosition();
            long long at = tape.curPos;
            rc = readWhole(tape, buf);
            if (rc == -2 && at >= size) {
                if (first)
                    throw ToolError(o.image, "has no tape file " + std::to_string(o.fileNo));
                warn("%s: file %lld has no closing tapemark", o.image.c_str(), o.fileNo);
                break;
            }
            if (rc < 0) throw readError(o.image, tape, at, rc);
            if (rc == 0) {
                if (first && isEndMark(tape, true))
                    throw ToolError(o.image, "has no tape file " + std::to_string(o.fileNo) +
                                                 " (it holds " + std::to_string(o.fileNo) +
                                                 " files)");
                break;
            }
            if (!writeFull(out, buf.data(), static_cast<size_t>(rc)))
                throw ToolError(toStdout ? "standard output" : o.out,
                                "cannot write " + cause(0, errno));
            progress.advance(static_cast<unsigned long long>(rc));
        }
    } catch (...) {
        if (!toStdout) ::unlink(o.out.c_str());
        throw;
    }
    progress.finish();
    if (!toStdout && ::close(out) != 0) {
        closer.fd = -1;
        throw ToolError(o.out, "cannot write " + cause(0, errno));
    }
    closer.fd = -1;
    return kExitOk;
}

namespace {
// Code page 037 to Latin-1 for the text column of dump --ebcdic.
const unsigned char kEbcdic037[256] = {
    0x00,0x01,0x02,0x03,0x9C,0x09,0x86,0x7F,0x97,0x8D,0x8E,0x0B,0x0C,0x0D,0x0E,0x0F,
    0x10,0x11,0x12,0x13,0x9D,0x85,0x08,0x87,0x18,0x19,0x92,0x8F,0x1C,0x1D,0x1E,0x1F,
    0x80,0x81,0x82,0x83,0x84,0x0A,0x17,0x1B,0x88,0x89,0x8A,0x8B,0x8C,0x05,0x06,0x07,
    0x90,0x91,0x16,0x93,0x94,0x95,0x96,0x04,0x98,0x99,0x9A,0x9B,0x14,0x15,0x9E,0x1A,
    0x20,0xA0,0xE2,0xE4,0xE0,0xE1,0xE3,0xE5,0xE7,0xF1,0xA2,0x2E,0x3C,0x28,0x2B,0x7C,
    0x26,0xE9,0xEA,0xEB,0xE8,0xED,0xEE,0xEF,0xEC,0xDF,0x21,0x24,0x2A,0x29,0x3B,0xAC,
    0x2D,0x2F,0xC2,0xC4,0xC0,0xC1,0xC3,0xC5,0xC7,0xD1,0xA6,0x2C,0x25,0x5F,0x3E,0x3F,
    0xF8,0xC9,0xCA,0xCB,0xC8,0xCD,0xCE,0xCF,0xCC,0x60,0x3A,0x23,0x40,0x27,0x3D,0x22,
    0xD8,0x61,0x62,0x63,0x64,0x65,0x66,0x67,0x68,0x69,0xAB,0xBB,0xF0,0xFD,0xFE,0xB1,
    0xB0,0x6A,0x6B,0x6C,0x6D,0x6E,0x6F,0x70,0x71,0x72,0xAA,0xBA,0xE6,0xB8,0xC6,0xA4,
    0xB5,0x7E,0x73,0x74,0x75,0x76,0x77,0x78,0x79,0x7A,0xA1,0xBF,0xD0,0xDD,0xDE,0xAE,
    0x5E,0xA3,0xA5,0xB7,0xA9,0xA7,0xB6,0xBC,0xBD,0xBE,0x5B,0x5D,0xAF,0xA8,0xB4,0xD7,
    0x7B,0x41,0x42,0x43,0x44,0x45,0x46,0x47,0x48,0x49,0xAD,0xF4,0xF6,0xF2,0xF3,0xF5,
    0x7D,0x4A,0x4B,0x4C,0x4D,0x4E,0x4F,0x50,0x51,0x52,0xB9,0xFB,0xFC,0xF9,0xFA,0xFF,
    0x5C,0xF7,0x53,0x54,0x55,0x56,0x57,0x58,0x59,0x5A,0xB2,0xD4,0xD6,0xD2,0xD3,0xD5,
    0x30,0x31,0x32,0x33,0x34,0x35,0x36,0x37,0x38,0x39,0xB3,0xDB,0xDC,0xD9,0xDA,0x9F};
}  // namespace

int cmdDump(const Options& o) {
    ORVtape tape;
    mountForReading(tape, o.image);
    if (o.blockNo < 0 || o.blockNo > 0x7FFFFFFF)
        throw ToolError("", "the block number must be 0 or more", kExitUsage);
    int target = static_cast<int>(o.blockNo);
    tape.rew();
    if (target > 0) {
        int rc = tape.fsr(static_cast<unsigned>(target));
        if (rc == -2 && tape.getPosition() && tape.curPos >= imageSize(tape))
            throw ToolError(o.image, "has no block " + std::to_string(target) + " (it holds " +
                                         std::to_string(tape.blockID) + ")");
        if (rc < 0) {
            tape.getPosition();
            throw readError(o.image, tape, tape.curPos, rc);
        }
    }
    BlockLayout lay = blockLayout(tape);
    std::vector<char> buf(static_cast<size_t>(tape.maxRecordSize));
    int rc = readWhole(tape, buf);
    if (rc == -2 && lay.segments == 0)
        throw ToolError(o.image, "has no block " + std::to_string(target) + " (it holds " +
                                     std::to_string(tape.blockID) + ")");
    if (rc < 0) throw readError(o.image, tape, lay.offset, rc);
    if (rc == 0) {
        std::printf("block %d  offset %lld  tapemark\n", target, lay.offset);
        return kExitOk;
    }
    std::printf("block %d  offset %lld  length %d  stored %llu  segments %d  %s\n", target,
                lay.offset, rc, lay.stored, lay.segments, transformName(lay.xform));
    size_t n = static_cast<size_t>(rc);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(buf.data());
    for (size_t row = 0; row < n; row += 16) {
        char line[100];
        int w = std::snprintf(line, sizeof line, "%08zx ", row);
        for (size_t i = row; i < row + 16; ++i) {
            if (i % 8 == 0) line[w++] = ' ';
            w += i < n ? std::snprintf(line + w, sizeof line - w, "%02x ", p[i])
                       : std::snprintf(line + w, sizeof line - w, "   ");
        }
        line[w++] = ' ';
        line[w++] = '|';
        for (size_t i = row; i < row + 16 && i < n; ++i) {
            unsigned char c = o.ebcdic ? kEbcdic037[p[i]] : p[i];
            line[w++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        line[w++] = '|';
        line[w] = 0;
        std::puts(line);
    }
    return kExitOk;
}

}  // namespace orvtool
