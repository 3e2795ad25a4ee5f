// commands.cpp - init, put and dump.
#include "blocking.h"
#include "labelled.h"
#include "labels.h"
#include "orvtape.h"
#include "progress.h"
#include "safe_file.h"
#include "volume.h"


#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd > STDERR_FILENO) ::close(fd);
    }
};

// Opens a put input: standard input for "-".  Throws ToolError.
int openInput(const std::string& f) {
    if (f == "-") return STDIN_FILENO;
    int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) throw ToolError(f, "cannot open the file " + cause(0, errno));
    return fd;
}

// Is the non-empty file at path a volume that put may write over?
bool isVolume(const std::string& path) {
    ORVtape probe;
    if (probe.open(path.c_str(), true) != 0) return false;
    return probe.validate(nullptr, nullptr, nullptr, nullptr) > 0;
}

// The data set name of input number i: --name, else the file's own name,
// upper-cased and cut to the 17 characters a label holds.
std::string dataSetName(const Options& o, size_t i) {
    std::string n = i < o.names.size() ? o.names[i] : o.files[i] == "-" ? "STDIN" : o.files[i];
    if (i >= o.names.size()) n = n.substr(n.find_last_of('/') + 1);
    for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return n.substr(0, 17);
}

// How put lays labels out: off, or the serial, code and next file sequence.
struct LabelPlan {
    bool on = false, ansi = false, needVol1 = false;
    std::string volser;
    long long seq = 1;
};

}  // namespace

int cmdInit(const Options& o) {
    refuseToReplace(o.image, o.force, false);
    ImageLock lock;
    if (o.image != "-") lock.lockPath(o.image, true);
    NewFile file(o.image, false);
    ORVtape tape;
    mountForWriting(tape, file.path());
    // An empty volume holds only its end-of-volume mark.
    tape.rew();
    writeTapemark(tape, o.image);
    errno = 0;
    if (tape.close() != 0) throw ToolError(o.image, "cannot close the image " + cause(tape));
    file.commit();
    note(o, "%s: new empty volume", o.image.c_str());
    return kExitOk;
}

int cmdPut(const Options& o) {
    ORVtape tape;
    if (o.blockSize < 1 || o.blockSize > static_cast<unsigned long long>(tape.maxRecordSize))
        throw ToolError("", "--block-size must be 1 to " + std::to_string(tape.maxRecordSize) +
                                " bytes",
                        kExitUsage);
    if (o.append && o.image == "-")
        throw ToolError("", "--append needs an image file, not standard output", kExitUsage);
    RecordFormat fmt;
    if (!o.recfm.empty() && (!parseRecfm(o.recfm, fmt) || fmt.recfm == 'V' ||
                             (fmt.attr != ' ' && fmt.attr != 'B')))
        throw ToolError("", "--recfm must be U, F or FB", kExitUsage);
    if ((fmt.recfm == 'F') != (o.lrecl > 0))
        throw ToolError("", "--lrecl goes with --recfm F or FB, and they need it", kExitUsage);
    fmt.lrecl = o.lrecl;
    if (!o.label.empty() && o.blockSize > 99999)  // HDR2 holds five digits
        throw ToolError("", "--label takes a block size of at most 99999 bytes", kExitUsage);
    if (o.ansi && o.label.empty())
        throw ToolError("", "--ansi goes with --label", kExitUsage);
    if (o.names.size() > o.files.size())
        throw ToolError("", "more --name options than files", kExitUsage);

    // Check every input first, so that a missing file changes nothing; they
    // are opened again one at a time, so any number of them can be put.
    int stdinUses = 0;
    unsigned long long total = 0;
    struct stat st;
    for (const auto& f : o.files) {
        if (f == "-" && ++stdinUses > 1)
            throw ToolError("", "standard input can be put only once", kExitUsage);
        refuseSameFile(f, STDIN_FILENO, o.image, STDOUT_FILENO);  // never read the volume written
        int fd = openInput(f);
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) total += st.st_size;
        if (fd > STDERR_FILENO) ::close(fd);
    }

    bool exists = o.image != "-" && stat(o.image.c_str(), &st) == 0 && st.st_size > 0;
    bool inPlace = o.append && exists;  // only appending writes into the image itself
    ImageLock lock;
    std::unique_ptr<NewFile> file;
    LabelPlan labels;
    if (!o.label.empty()) labels = LabelPlan{true, o.ansi, true, o.label, 1};
    int start = 0;  // block number where the new files begin
    if (inPlace) {
        mountForWriting(tape, o.image);
        lock.lock(tape.fd, o.image, true);
        // Appending to a labelled volume adds labelled data sets, numbered on.
        LabelledVolume v = readLabels(tape, imageSize(tape), o.image);
        VolumeEnd end = walkToEnd(tape, o.image);
        if (v.labelled) {
            labels.on = true;
            labels.ansi = !v.ebcdic;
            labels.volser = v.volser;
            for (const DataSet& d : v.sets) labels.seq = std::max(labels.seq, d.fileSeq + 1);
            if (!o.label.empty() && o.label != v.volser)
                warn("%s: the volume keeps its serial %s", o.image.c_str(), v.volser.c_str());
        } else if (!o.label.empty()) {
            if (end.blocks > 1)
                throw ToolError(o.image, "is a volume without labels: --label cannot be appended");
            labels = LabelPlan{true, o.ansi, true, o.label, 1};
        }
        start = end.blocks;
        if (end.hasEndMark) {
            errno = 0;
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
        refuseToReplace(o.image, true, false);
        if (o.image != "-") lock.lockPath(o.image, true);
        if (exists && !o.force && !isVolume(o.image))
            throw ToolError(o.image, "is not a tape volume; use --force to replace it");
        file.reset(new NewFile(o.image, false));
        mountForWriting(tape, file->path());
        tape.rew();
    }
    applyWriteSettings(tape, o);

    Progress progress("put", total, o.quiet);
    bool warned = false;
    size_t done = 0;
    try {
        auto writeLabel = [&](const std::string& block) {
            errno = 0;
            if (tape.write(block.data(), kLabelBytes) != static_cast<int>(kLabelBytes))
                throw ToolError(o.image, "cannot write a label " + writeCause(tape));
        };
        std::string block;
        for (size_t i = 0; i < o.files.size(); ++i) {
            const std::string& name = o.files[i];
            FdCloser input{openInput(name)};
            InputBlocks blocks(input.fd, name, fmt, o.blockSize, o.ebcdic);
            const std::string dsn = dataSetName(o, i);
            const std::string created = todayCyyddd();
            const char attr = fmt.attr;
            if (labels.on) {
                if (labels.needVol1) writeLabel(buildVol1(labels.volser, "", labels.ansi));
                labels.needVol1 = false;
                writeLabel(buildLabel1("HDR", dsn, labels.volser, labels.seq, created, 0, labels.ansi));
                writeLabel(buildLabel2("HDR", fmt.recfm, blocks.blockLength(), fmt.lrecl, attr, labels.ansi));
                writeTapemark(tape, o.image);
            }
            long long count = 0;
            while (blocks.next(block)) {
                errno = 0;  // a short write leaves errno alone; report no stale value
                int rc = tape.write(block.data(), static_cast<unsigned>(block.size()));
                if (rc != static_cast<int>(block.size()))
                    throw ToolError(o.image, "cannot write a block " + writeCause(tape));
                ++count;
                progress.advance(block.size());
                warnAtCapacity(tape, o, o.image, "file " + name, warned);
            }
            writeTapemark(tape, o.image);
            if (labels.on) {
                writeLabel(buildLabel1("EOF", dsn, labels.volser, labels.seq, created, count, labels.ansi));
                writeLabel(buildLabel2("EOF", fmt.recfm, blocks.blockLength(), fmt.lrecl, attr, labels.ansi));
                writeTapemark(tape, o.image);
                ++labels.seq;
            }
            start = tape.blockID;
            ++done;
        }
        writeTapemark(tape, o.image);
    } catch (const ToolError&) {
        progress.finish();
        if (!inPlace) throw;  // the new volume is dropped: the image stays as it was
        // Keep every complete file: cut the volume after the last one and
        // close it again with its end mark.
        tape.sync = false;
        errno = 0;
        if (tape.rew() != 0 || skipBlocks(tape, imageSize(tape), start) != 0 || tape.wtm(1) != 0)
            warn("%s: could not restore the end of the volume %s", o.image.c_str(),
                 cause(tape).c_str());
        else if (!o.quiet)
            warn("%s: kept the files before the failure (%zu of %zu new files written)",
                 o.image.c_str(), done, o.files.size());
        throw;
    }
    progress.finish();
    errno = 0;
    if (tape.close() != 0) throw ToolError(o.image, "cannot close the image " + cause(tape));
    if (file) file->commit();
    note(o, "%s: %zu file%s written", o.image.c_str(), done, done == 1 ? "" : "s");
    return kExitOk;
}

int cmdDump(const Options& o) {
    ORVtape tape;
    ImageLock lock;
    mountForReading(tape, o.image, lock);
    if (o.blockNo < 0 || o.blockNo > 0x7FFFFFFF)
        throw ToolError("", "the block number must be 0 to 2147483647", kExitUsage);
    int target = static_cast<int>(o.blockNo);
    tape.rew();
    if (target > 0) {
        int rc = skipBlocks(tape, imageSize(tape), target);
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
            unsigned char c = o.ebcdic ? ebcdicToLatin1(p[i]) : p[i];
            line[w++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
        }
        line[w++] = '|';
        line[w] = 0;
        std::puts(line);
    }
    return kExitOk;
}

}  // namespace orvtool
