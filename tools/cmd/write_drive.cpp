// write_drive.cpp - orvtape write-drive IMAGE DEVICE: every block of a
// volume written to a tape in a drive with its own length, every tapemark
// as a filemark; with --verify the tape is rewound and read back whole.
#include "base/console.h"
#include "base/losses.h"
#include "base/progress.h"
#include "base/pump.h"
#include "cmd/command.h"
#include "cmd/source.h"
#include "drive/sink.h"
#include "drive/source.h"

#include <CLI/CLI.hpp>

#include <cstring>
#include <sys/mtio.h>

namespace orvtool {

struct WriteDriveArgs : Common {
    std::string source, device, from;
    bool verify = false;
};

namespace {

// The tape from the load point against the volume, block by block.
void verifyTape(TapeDevice& drive, const Source& volume, long long written) {
    if (!drive.operate(MTREW, 1)) throw ToolError(drive.path(), "cannot rewind to verify: " + errnoWords(errno));
    ReadPolicy policy;
    policy.entries = written;
    policy.retries = 0;
    policy.stopOnError = true;
    policy.maxBlock = 16u << 20;
    DriveSource tape(drive, policy, [] { return false; });
    auto blocks = volume.blocks();
    Block want, got;
    long long n = 0;
    while (blocks->next(want)) {
        if (!importKeeps(want)) continue;  // what the pump passed to the drive
        if (!tape.next(got))
            throw ToolError(drive.path(), "verify: the tape ends before block " + std::to_string(n) + " (" +
                                              stopWords(tape.stop()) + ")");
        if (got.kind != want.kind || got.length != want.length ||
            (got.length && std::memcmp(got.data, want.data, got.length) != 0))
            throw ToolError(drive.path(), "verify: block " + std::to_string(n) + " differs from the volume's");
        ++n;
    }
}

}  // namespace

int cmdWriteDrive(const WriteDriveArgs& o) {
    Source volume = openSource(o.source, o.from, o);
    TapeDevice drive(o.device, true);
    DriveStatus at;
    if (o.verify && !(drive.status(at) && at.atLoadPoint))
        throw ToolError(o.device, "--verify reads the tape back from the load point: rewind first (mt -f " +
                                      o.device + " rewind)", kExitUsage);
    DriveSink sink(drive);
    // A foreign file's every entry goes to the pump, which keeps what a
    // tape holds and counts what it skips, so that the skipped are told.
    std::unique_ptr<BlockSource> entries = volume.image ? volume.blocks() : volume.open();
    Progress progress("write-drive", 0, o.quiet);
    Tally t = pump(*entries, sink, progress, {o.source, "a tape drive", false});
    // A drive is given each block's bytes as they read, as it should be:
    // no loss worth a note.
    t.unpacked = t.unscrambled = Events{};
    reportLosses(o, o.source, "a tape drive", t);
    note(o, "%s: %lld blocks and %lld filemarks written", o.device.c_str(), t.blocks, t.marks);
    if (o.verify) {
        verifyTape(drive, volume, sink.written());
        note(o, "%s: read back and verified", o.device.c_str());
    }
    return kExitOk;
}

namespace {
Runner declareWriteDrive(CLI::App& c) {
    auto a = std::make_shared<WriteDriveArgs>();
    c.add_option("IMAGE", a->source, "the image or other format's file")->required();
    c.add_option("DEVICE", a->device, "the tape drive: /dev/nstN")->required();
    declareFrom(c, a->from);
    c.add_flag("--verify", a->verify, "rewind and read the tape back, comparing every block");
    return runWith(a, cmdWriteDrive);
}
}  // namespace
extern const Command writeDriveCommand{"write-drive", "write a volume to a tape in a drive, block for block",
                                       declareWriteDrive};

}  // namespace orvtool
