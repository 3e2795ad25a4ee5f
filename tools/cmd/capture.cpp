// capture.cpp - orvtape capture DEVICE IMAGE: a tape in a drive read block
// for block and filemark for filemark into an image or another format's
// file.  A capture that stops early (an interruption, a drive that goes
// away, an unreadable block with --stop-on-error) still completes the file
// with every block read so far and says where it stopped; an error map
// beside it names every failed read and what became of the block.
#include "base/console.h"
#include "base/files.h"
#include "base/io.h"
#include "base/progress.h"
#include "base/pump.h"
#include "cmd/command.h"
#include "cmd/write_options.h"
#include "drive/source.h"
#include "formats/format.h"
#include "image/sink.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <csignal>
#include <sys/mtio.h>

namespace orvtool {

struct CaptureArgs : Common, WriteSettings {
    std::string device, target, to;
    bool force = false, rewindingOk = false;
    ReadPolicy policy;
};

namespace {

// Set by the first SIGINT, SIGTERM or SIGHUP of a capture; the second ends
// the run as it would have ended without one.
volatile sig_atomic_t stopSignal = 0;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction before[3];

void onStopSignal(int sig) {
    if (stopSignal) {
        for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &before[i], nullptr);
        raise(sig);
    }
    stopSignal = sig;
}

// Turns the signals that would end the run into a request to stop reading,
// so that what was read is kept; the run's own handling comes back after.
class StopOnSignal {
public:
    StopOnSignal() {
        stopSignal = 0;
        struct sigaction sa {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &sa, &before[i]);
    }
    ~StopOnSignal() {
        for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &before[i], nullptr);
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;
};

// The drive's blocks, then the tapemarks that close the volume where the
// reading stopped before two filemarks in a row: the file is a whole volume
// whatever stopped the capture.
class ClosedVolume : public BlockSource {
public:
    explicit ClosedVolume(DriveSource& drive) : drive_(drive) {}
    bool next(Block& b) override {
        if (!closing_ && drive_.next(b)) {
            trailingMarks_ = b.kind == Kind::Mark ? trailingMarks_ + 1 : 0;
            any_ = true;
            return true;
        }
        closing_ = true;
        if (!any_ || trailingMarks_ >= 2) return false;
        b = Block{};
        b.kind = Kind::Mark;
        b.offset = drive_.consumed();
        ++trailingMarks_;
        ++added_;
        return true;
    }
    long long consumed() const override { return drive_.consumed(); }
    int added() const { return added_; }

private:
    DriveSource& drive_;
    bool closing_ = false, any_ = false;
    int trailingMarks_ = 0, added_ = 0;
};

void refuseUnsafeDevice(const CaptureArgs& o) {
    if (rewindsOnClose(o.device) && !o.rewindingOk)
        throw ToolError(o.device,
                        "rewinds the tape when it is closed, so a capture that stops could not go on where it "
                        "stopped, and the drive's position could not be checked; use its non-rewinding twin "
                        "(/dev/nstN), or --rewinding-ok",
                        kExitUsage);
}

nlohmann::ordered_json errorMap(const CaptureArgs& o, const DriveSource& src) {
    nlohmann::ordered_json troubles = nlohmann::ordered_json::array();
    for (const BlockTrouble& t : src.troubles())
        troubles.push_back({{"file", t.file}, {"block", t.block}, {"failures", t.failures}, {"decision", t.decision}});
    nlohmann::ordered_json m = {{"device", o.device},
                                {"image", o.target},
                                {"stopped_at", stopWords(src.stop())},
                                {"file", src.file()},
                                {"block", src.blockInFile()},
                                {"blocks", src.blocks()},
                                {"bytes", src.consumed()},
                                {"retries", o.policy.retries},
                                {"troubles", troubles}};
    makeJsonSafe(m);
    return m;
}

void writeErrorMap(const CaptureArgs& o, const DriveSource& src, NewFile& file) {
    const std::string text = errorMap(o, src).dump(2) + "\n";
    if (writeAll(file.fd(), text.data(), text.size()) != 0)
        throw ToolError(file.path(), "cannot write the error map: " + errnoWords(errno));
    file.commit();
}

// The blocks that did not read at once, as warnings; a status that says
// whether the capture is whole.
int report(const CaptureArgs& o, DriveSource& src, const Tally& t, int added) {
    int bad = 0;
    if (added) note(o, "%s: %d tapemarks added to close the volume", o.target.c_str(), added);
    for (const BlockTrouble& b : src.troubles()) {
        if (b.decision == "read with a larger buffer") {
            note(o, "%s: file %lld block %lld: %s", o.device.c_str(), b.file, b.block, b.failures.back().c_str());
            continue;
        }
        bad += b.decision != "read";
        warn("%s: file %lld block %lld: %s after %zu failed reads (last: %s)", o.device.c_str(), b.file, b.block,
             b.decision.c_str(), b.failures.size(), b.failures.back().c_str());
    }
    const Stop stop = src.stop();
    const bool whole = stop == Stop::EndOfData || stop == Stop::Files || stop == Stop::Blocks;
    if (stop != Stop::Gone)
        if (const std::string m = src.positionMismatch(); !m.empty()) warn("%s: %s", o.device.c_str(), m.c_str());
    const std::string why = stop == Stop::Gone || stop == Stop::Unreadable ? " (" + src.lastFailure() + ")" : "";
    auto counted = [](long long n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); };
    const std::string line = o.target + ": " + counted(t.blocks, "block") + " and " +
                             counted(t.marks - added, "filemark") + " captured; stopped at " + stopWords(stop) + why +
                             ", file " + std::to_string(src.file()) + " block " + std::to_string(src.blockInFile());
    if (whole)
        note(o, "%s", line.c_str());
    else
        warn("%s", line.c_str());
    return whole && bad == 0 ? kExitOk : kExitFailure;
}

}  // namespace

int cmdCapture(const CaptureArgs& o) {
    checkWriteSettings(o);
    refuseUnsafeDevice(o);
    const Format* foreign = !o.to.empty() ? &outputFormat(o.to, o.target) : formatOfExtension(o.target);
    if (foreign && (o.compress || o.scramble || o.segmentSize || o.capacity || o.sync))
        throw ToolError("", "--compress, --scramble, --segment-size, --capacity and --sync apply to an image; " +
                                o.target + " is written as " + foreign->name, kExitUsage);
    const std::string mapPath = o.target + ".errors.json";
    const bool withMap = o.target != "-";
    refuseToReplace(o.target, o.force, foreign != nullptr);
    if (withMap) refuseToReplace(mapPath, o.force, false);
    TapeDevice drive(o.device, false);
    if (!drive.operate(MTSETBLK, 0))
        throw ToolError(o.device, "the drive refuses variable-length blocks: " + errnoWords(errno), kExitUsage);

    NewFile out(o.target, foreign != nullptr, o.force);
    std::unique_ptr<NewFile> map = withMap ? std::make_unique<NewFile>(mapPath, false, o.force) : nullptr;
    std::unique_ptr<OutputFile> bytes;
    std::unique_ptr<ImageSink> image;
    std::unique_ptr<BlockSink> sink;
    if (foreign) {
        bytes = std::make_unique<OutputFile>(out.fd(), o.target == "-" ? "standard output" : o.target);
        sink = foreign->writer(*bytes, FormatArgs{});
    } else {
        image = std::make_unique<ImageSink>(out.fd(), o.target, o);
        sink = std::make_unique<ParallelEncode>(*image, o, o.jobs, o);
    }
    ReadPolicy policy = o.policy;
    const bool holdsBad = sink->carries().readErrors;
    policy.skipBad |= !holdsBad;  // a block that never read has no data to keep
    StopOnSignal stopOnSignal;
    DriveSource src(drive, policy, [] { return stopSignal != 0; });
    Progress progress("capture", 0, o.quiet);
    progress.detail([&] {
        return "file " + std::to_string(src.file()) + " block " + std::to_string(src.blockInFile()) + "  " +
               std::to_string(src.blocks()) + " blocks  " + std::to_string(src.troubles().size()) + " troubled";
    });
    ClosedVolume volume(src);
    const Tally t = pump(volume, *sink, progress, {o.device, foreign ? foreign->title : "an orvtape image", false});
    out.commit();
    if (map) writeErrorMap(o, src, *map);
    if (!holdsBad && !o.policy.skipBad && src.blocks() > t.blocks)
        warn("%s: unreadable blocks left out, as it cannot hold a block without data", o.target.c_str());
    return report(o, src, t, volume.added());
}

namespace {
Runner declareCapture(CLI::App& c) {
    auto a = std::make_shared<CaptureArgs>();
    c.add_option("DEVICE", a->device, "the tape drive, non-rewinding: /dev/nstN")->required();
    c.add_option("IMAGE", a->target, "the new image, or file in the format --to or its extension names")->required();
    c.add_option("--to", a->to, "write IMAGE in this format: " + listFormats() + " (default: named by its extension)")
        ->check(CLI::IsMember(formatNames()));
    c.add_flag("-f,--force", a->force, "replace a non-empty IMAGE and its error map");
    c.add_flag("--rewinding-ok", a->rewindingOk, "read from a device that rewinds the tape when closed");
    c.add_option("--files", a->policy.files, "stop after this many filemarks")->check(CLI::NonNegativeNumber);
    c.add_option("--blocks", a->policy.blocks, "stop after this many blocks")->check(CLI::NonNegativeNumber);
    c.add_option("--retries", a->policy.retries, "read a failing block again this many times (default 3)")
        ->check(CLI::Range(0, 1000));
    c.add_flag("--skip-bad", a->policy.skipBad, "leave a block that never reads out, instead of keeping it flagged");
    c.add_flag("--stop-on-error", a->policy.stopOnError, "stop at a block that never reads");
    c.add_option("--buffer", a->policy.buffer, "the first read buffer (default 1M); grows for a longer block")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(1ull, 1ull << 30));
    declareWriteOptions(c, *a, false);
    return runWith(a, +[](const CaptureArgs& o) {
        CaptureArgs all = o;
        all.policy.maxBlock = static_cast<std::size_t>(o.maxBlock);
        return cmdCapture(all);
    });
}
}  // namespace
extern const Command captureCommand{"capture", "read a tape in a drive into an image, block for block",
                                    declareCapture};

}  // namespace orvtool
