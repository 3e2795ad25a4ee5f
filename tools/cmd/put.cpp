// put.cpp - orvtape put: host files onto a volume, one tape file each,
// plain or as the data sets of a labelled volume.
#include "base/progress.h"
#include "image/labels.h"
#include "base/console.h"
#include "base/files.h"
#include "image/layout.h"
#include "image/sink.h"
#include "image/walk.h"
#include "cmd/command.h"
#include "cmd/source.h"
#include "cmd/write_options.h"

#include <CLI/CLI.hpp>

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

// put IMAGE FILE... [write options]
struct PutArgs : Common, WriteSettings {
    std::string image;
    std::vector<std::string> files;
    unsigned long long blockSize = 32768;
    bool append = false, force = false;
    std::string label;               // volume serial of a new labelled volume
    bool ansi = false;               // ANSI (ASCII) labels
    std::vector<std::string> names;  // data set names, one per input
    std::string recfm;               // without labels
    long long lrecl = 0;
    bool ebcdic = false;             // convert text input
};


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
    if (fd < 0) throw ToolError(f, "cannot open the file " + cause(0, errno), kExitUsage);
    return fd;
}

// Is the non-empty file at path a volume that put may write over?  One
// without a whole header does not validate.
bool isVolume(const std::string& path) { return chainHolds(path); }

// The data set name of input number i: --name, else the file's own name,
// upper-cased and cut to the 17 characters a label holds.
std::string dataSetName(const PutArgs& o, size_t i) {
    std::string n = i < o.names.size() ? o.names[i] : o.files[i] == "-" ? "STDIN" : o.files[i];
    if (i >= o.names.size()) n = n.substr(n.find_last_of('/') + 1);
    for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return n.substr(0, 17);
}

// The longest block put writes: the drive's record limit until raised.
constexpr unsigned long long kLargestBlock = 4 << 20;

}  // namespace

namespace {

// put's option checks; the record format that its inputs are cut into.
RecordFormat putFormat(const PutArgs& o) {
    if (o.blockSize < 1 || o.blockSize > kLargestBlock)
        throw ToolError("", "--block-size must be 1 to " + std::to_string(kLargestBlock) + " bytes", kExitUsage);
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
    return fmt;
}

// Checks every input first, so that a missing file changes nothing; they
// are opened again one at a time, so any number of them can be put.  Returns
// their total size, where known.
unsigned long long checkInputs(const PutArgs& o) {
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
    return total;
}

// The claimed volume put appends to, open for reading and writing.
struct AppendTarget {
    explicit AppendTarget(const std::string& image) : fd(::open(image.c_str(), O_RDWR | O_CLOEXEC)) {
        if (fd < 0) throw ToolError(image, "the image cannot be written " + cause(0, errno));
    }
    ~AppendTarget() { ::close(fd); }
    AppendTarget(const AppendTarget&) = delete;
    AppendTarget& operator=(const AppendTarget&) = delete;
    const int fd;
};

// Finds the end of the claimed volume put appends to; appending to a
// labelled volume adds labelled data sets, numbered on.
AppendPoint prepareAppend(int fd, const ImageLock& lock, const PutArgs& o, LabelPlan& labels) {
    if (!lock.holds(fd)) throw ToolError(o.image, "was replaced by another process; run the command again");
    const Volume volume = Volume::onDescriptor(fd, o.image, Limits{o.maxBlock, o.wait});
    BlockWalk walk(volume, ReadMode::Pass);
    LabelledVolume v = readLabels(walk);
    walk.rewind();
    AppendPoint at = findAppendPoint(walk);
    if (v.labelled) {
        labels.on = true;
        labels.ansi = !v.ebcdic;
        labels.volser = v.volser;
        for (const DataSet& d : v.sets) labels.seq = std::max(labels.seq, d.fileSeq + 1);
        if (!o.label.empty() && o.label != v.volser)
            warn("%s: the volume keeps its serial %s", o.image.c_str(), v.volser.c_str());
    } else if (!o.label.empty()) {
        if (at.end.blocks > 1)
            throw ToolError(o.image, "is a volume without labels: --label cannot be appended");
        labels = LabelPlan{true, o.ansi, true, o.label, 1};
    }
    if (!at.end.hasEndMark && !at.end.endsInTapemark)
        warn("%s: the last file had no closing tapemark; closing it", o.image.c_str());
    return at;
}

// An append in place that a fatal signal undoes: the volume is cut back to
// the end of its last complete file and closed again there.
class AppendUndo {
public:
    explicit AppendUndo(int fd) : fd_(fd) {}
    ~AppendUndo() { keepOnSignal(); }
    AppendUndo(const AppendUndo&) = delete;
    AppendUndo& operator=(const AppendUndo&) = delete;

    void endAt(const VolumeCut& c) {
        if (end_.empty() || c.prevLen != prevLen_ || c.marks != marks_) end_ = volumeEnd(c.prevLen, c.marks);
        prevLen_ = c.prevLen;
        marks_ = c.marks;
        if (end_.empty()) return keepOnSignal();  // no way to make it: the next append warns instead
        undoOnSignal(fd_, c.offset, end_);
    }

private:
    int fd_;
    std::string end_;
    unsigned prevLen_ = 0, marks_ = 0;
};

// Reads of a put input for InputBlocks; a failure names the file.
InputBlocks::Read inputReader(int fd, const std::string& name) {
    return [fd, name](char* p, size_t n) -> size_t {
        for (;;) {
            const ssize_t r = ::read(fd, p, n);
            if (r >= 0) return static_cast<size_t>(r);
            if (errno != EINTR) throw ToolError(name, "cannot read the file " + cause(0, errno));
        }
    };
}

// Writes put's new files, labels, data and tapemarks, through the encoding
// pool into the image; cuts gains the end of each file once it is in the
// image, and undo (if any) learns it.
class PutWriter {
public:
    PutWriter(const PutArgs& o, const RecordFormat& fmt, const LabelPlan& labels, ImageSink& out,
              Progress& progress, std::vector<VolumeCut>& cuts, AppendUndo* undo)
        : o_(o), fmt_(fmt), out_(out), progress_(progress),
          encode_(out, o, o.compress || o.scramble ? o.jobs : 1, o), labelled_(encode_, labels) {
        out.onWritten([this, &cuts, undo](const Block& b) {
            if (b.isLabel) return;
            if (b.kind == Kind::Mark) {  // the tapemark that completes a new file
                cuts.push_back(VolumeCut{out_.position(), 0, 1});
                if (undo) undo->endAt(cuts.back());
            } else if (o_.capacity) {
                out_.warnAtCapacity("file " + o_.files[static_cast<size_t>(b.number)]);
            }
        });
    }

    void closeLastFile() { layoutMark(); }
    void file(size_t i);
    // The end mark after the last file; everything written and the image closed.
    void finish() {
        layoutMark();
        encode_.finish();
    }

private:
    // A tapemark of the volume's own layout, which completes no new file.
    void layoutMark() {
        Block b;
        b.kind = Kind::Mark;
        b.isLabel = true;
        encode_.put(b);
    }
    // An input failure surfaces once the blocks read before it were
    // written, so that a write failure among them comes first, as it would
    // if every block went to the image as soon as it was read.
    template <class Read>
    auto fromInput(Read read) -> decltype(read()) {
        try {
            return read();
        } catch (const ToolError&) {
            encode_.finish();
            throw;
        }
    }

    const PutArgs& o_;
    const RecordFormat& fmt_;
    ImageSink& out_;
    Progress& progress_;
    ParallelEncode encode_;
    LabelledWriter labelled_;
};

void PutWriter::file(size_t i) {
    const std::string& name = o_.files[i];
    FdCloser input{fromInput([&] { return openInput(name); })};
    InputBlocks blocks(inputReader(input.fd, name), name, fmt_, o_.blockSize, o_.ebcdic);
    labelled_.begin(dataSetName(o_, i), fmt_, blocks.blockLength(), todayCyyddd());
    Block b;
    while (fromInput([&] { return blocks.next(b); })) {
        if (blocks.padded()) {
            encode_.drain();  // the blocks before it and their warnings come first, as for every -j
            warn("%s: the last record is short; padded with zeros to %lld bytes", name.c_str(), fmt_.lrecl);
        }
        b.number = static_cast<long long>(i);  // names the file in a capacity warning
        labelled_.put(b);
        progress_.advance(b.length);
    }
    labelled_.end();
}

// After a failed append the volume ends after the last new file that reached
// the image whole, closed again by its end mark.
void keepCompleteFiles(const PutArgs& o, ImageSink& out, int fd, const std::vector<VolumeCut>& cuts) {
    const long long reached = out.abandon();
    size_t kept = cuts.size() - 1;
    while (kept > 0 && cuts[kept].offset > reached) --kept;
    const VolumeCut& c = cuts[kept];
    if (const int rc = endVolumeAt(fd, c); rc != 0)
        warn("%s: could not restore the end of the volume %s", o.image.c_str(), cause(rc, errno).c_str());
    else if (!o.quiet)
        warn("%s: kept the files before the failure (%zu of %zu new files written)", o.image.c_str(), kept,
             o.files.size());
}

}  // namespace

int cmdPut(const PutArgs& o) {
    checkWriteSettings(o);
    const RecordFormat fmt = putFormat(o);
    const unsigned long long total = checkInputs(o);
    ImageLock lock(o.wait);
    if (o.image != "-") lock.claim(o.image);
    // Decided under the claim: a volume that another run made meanwhile is
    // appended to, not replaced.
    struct stat st;
    const bool exists = o.image != "-" && stat(o.image.c_str(), &st) == 0 && st.st_size > 0;
    const bool inPlace = o.append && exists;  // only appending writes into the image itself
    // Another format's file is left as it is unless replacing it was asked for.
    if (exists && (o.append || !o.force))
        refuseForeign(o.image, o.append ? "put appends to orvtape images only" : "put replaces it only with --force");
    std::unique_ptr<AppendTarget> target;  // the volume appended to, open under the claim until the end
    std::unique_ptr<NewFile> file;
    LabelPlan labels;
    if (!o.label.empty()) labels = LabelPlan{true, o.ansi, true, o.label, 1};
    AppendPoint at;
    if (inPlace) {
        target = std::make_unique<AppendTarget>(o.image);
        at = prepareAppend(target->fd, lock, o, labels);
    } else {
        refuseToReplace(o.image, true, false);
        if (exists && !o.force && !isVolume(o.image))
            throw ToolError(o.image, "is not a tape volume; use --force to replace it");
        file.reset(new NewFile(o.image, false, o.force, &lock));
    }
    const int fd = inPlace ? target->fd : file->fd();
    const bool closeLast = inPlace && !at.end.hasEndMark && !at.end.endsInTapemark;
    ImageSink out(fd, o.image, o, WriteStart{at.offset, at.prevLen, at.end.blocks - (at.end.hasEndMark ? 1 : 0)});
    std::vector<VolumeCut> cuts{VolumeCut{at.offset, at.prevLen, closeLast ? 2u : 1u}};
    Progress progress("put", total, o.quiet);
    std::unique_ptr<AppendUndo> undo;
    if (inPlace) {
        undo = std::make_unique<AppendUndo>(fd);
        undo->endAt(cuts.front());
    }
    try {
        auto held = std::make_unique<SignalsHeld>();  // the workers never take a signal the undo needs
        PutWriter writer(o, fmt, labels, out, progress, cuts, undo.get());
        held.reset();
        if (closeLast) writer.closeLastFile();
        for (size_t i = 0; i < o.files.size(); ++i) writer.file(i);
        writer.finish();
    } catch (const ToolError&) {
        progress.finish();
        if (inPlace) keepCompleteFiles(o, out, fd, cuts);  // a new volume is dropped whole
        throw;
    }
    progress.finish();
    if (file) file->commit();
    const size_t done = cuts.size() - 1;
    note(o, "%s: %zu file%s written", o.image.c_str(), done, done == 1 ? "" : "s");
    return kExitOk;
}

namespace {
Runner declarePut(CLI::App& c) {
    auto a = std::make_shared<PutArgs>();
    c.add_option("IMAGE", a->image, "the image file (created when missing)")->required();
    c.add_option("FILE", a->files, "host files; - for standard input")->required();
    c.add_option("-b,--block-size", a->blockSize, "block size in bytes (default 32768)")
        ->transform(CLI::AsSizeValue(false));
    c.add_flag("-a,--append", a->append, "add after the files already on the volume");
    c.add_flag("-f,--force", a->force, "replace a non-empty file that is not a volume");
    c.add_option("--label", a->label, "build a labelled volume with this volume serial")
        ->check([](const std::string& v) {
            return v.empty() || v.size() > 6 ? std::string("a volume serial is 1 to 6 characters") : std::string();
        });
    c.add_flag("--ansi", a->ansi, "ANSI labels in ASCII instead of standard labels in EBCDIC");
    c.add_option("--name", a->names, "data set name of the next input (default: its file name)");
    c.add_option("--recfm", a->recfm, "record format: U (default), F or FB");
    c.add_option("--lrecl", a->lrecl, "record length of F and FB")->check(CLI::Range(1, 32760));
    c.add_flag("--ebcdic", a->ebcdic, "convert text input to EBCDIC; with F or FB each line is one record");
    declareWriteOptions(c, *a, false);
    return runWith(a, cmdPut);
}

}  // namespace
extern const Command putCommand{"put", "write host files onto the volume, one tape file each", declarePut};

}  // namespace orvtool
