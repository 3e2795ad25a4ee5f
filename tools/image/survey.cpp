// survey.cpp - walking a volume for ls and check.  Check's header chain and
// block walks run side by side when a core is spare; the labels and the
// records of variable-format data sets are looked at only on a sound chain.
#include "image/survey.h"
#include "base/error.h"
#include "image/blocks.h"
#include "image/decode.h"
#include "image/labels.h"
#include "image/messages.h"
#include "image/volume.h"
#include "image/walk.h"
#include "labels/recfm.h"
#include "base/pool.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <memory>

namespace orvtool {

void Counts::add(unsigned long long length) {
    if (blocks == 0 || length < minBlock) minBlock = length;
    if (length > maxBlock) maxBlock = length;
    ++blocks;
    bytes += length;
}

Survey surveyLabels(BlockWalk& walk, const std::string& image) {
    Survey s;
    s.image = image;
    s.imageBytes = walk.volume().size();
    try {
        s.labels = readLabels(walk);
    } catch (const ToolError&) {
        // The block walk reports what cannot be read.
    }
    return s;
}

void surveyBlocks(BlockWalk& walk, bool listBlocks, Survey& s) {
    walk.rewind();
    Counts file;
    Step step;
    Failure f;
    const orvTapeBlockInfo& b = walk.info();  // of the block passed last: no view is filled
    for (;;) {
        if (!walk.tryPass(step, f)) {
            s.failure = ReadError(s.image, f).what();
            break;
        }
        if (step == Step::EndOfData) break;
        const bool endMark = step == Step::EndMark;
        const long long length = b.tapemark ? 0 : b.length;
        if (listBlocks) {
            BlockFact fact;
            fact.number = b.blockNumber;
            fact.offset = b.offset;
            fact.file = s.files.size();
            fact.length = length;
            fact.stored = b.storedLength;
            fact.segments = b.segments;
            fact.transforms = transformName(b.flags2);
            fact.endMark = endMark;
            s.blocks.push_back(fact);
        }
        if (endMark) continue;  // the end-of-volume mark closes no file
        if (length == 0) {
            s.files.push_back(file);
            file = Counts{};
        } else {
            file.add(static_cast<unsigned long long>(length));
            s.total.add(static_cast<unsigned long long>(length));
        }
    }
    s.lastFileOpen = file.blocks > 0;
    if (s.lastFileOpen) s.files.push_back(file);
}

namespace {

// A block that the walk could not read, or that did not decode.
Defect blockDefect(const Volume& volume, const Failure& f) {
    Defect d;
    d.offset = f.offset;
    d.code = f.driveCode();  // only codes from the library
    d.headerBytes = volume.bytesAt(f.offset, d.header, 6);
    d.message = f.sentence();
    return d;
}

Defect endMarkDefect(const Volume& volume) {
    Defect d;
    d.offset = volume.size();
    d.message = "the volume is not closed by its end mark (a tapemark after the last file's tapemark)";
    d.endMark = true;
    return d;
}

// Every block passed in order: catches payloads that are cut short, blocks
// beyond --max-block and empty compressed blocks; then a volume without its
// end mark.  Stops at the first defect.
std::vector<Defect> walkBlocks(BlockWalk& walk) {
    walk.rewind();
    Step s = Step::Block, last;
    Failure f;
    do {
        last = s;
        if (!walk.tryPass(s, f)) return {blockDefect(walk.volume(), f)};
    } while (s != Step::EndOfData);
    if (last != Step::EndMark) return {endMarkDefect(walk.volume())};
    return {};
}

// walkBlocks that also decodes every block, on the workers, and goes on
// after a block that does not read as long as the walk can pass it.
std::vector<Defect> walkDecoding(BlockWalk& walk, int jobs, const Common& run) {
    std::vector<Defect> found;
    std::deque<Defect> refused;  // met by the walk, placed in block order by the consumer
    bool endMark = false, broken = false;
    walk.rewind();
    walk.setMode(ReadMode::Stored);
    // Only blocks with something left to find take a slot: a failure, or a
    // transformed block still to decode; a plain block was read whole already.
    auto produce = [&](Slot& s) {
        for (;;) {
            if (broken) return false;
            Block b;
            Step step;
            Failure f;
            if (!walk.tryStep(b, step, f)) {
                refused.push_back(blockDefect(walk.volume(), f));
                s.length = -1;
                broken = !walk.passFailed();
                endMark = false;
                return true;
            }
            if (step == Step::EndOfData) return false;
            endMark = step == Step::EndMark;
            if (step == Step::Block && flags2Of(b) != 0) {
                loadSlot(b, s);
                return true;
            }
        }
    };
    auto consume = [&](Slot& s) {
        if (s.length < 0) {
            found.push_back(std::move(refused.front()));
            refused.pop_front();
        } else if (s.transform && s.rc < 0) {
            Failure f;
            f.code = s.rc;
            f.offset = s.offset;
            f.number = s.number;
            found.push_back(blockDefect(walk.volume(), f));
        }
    };
    Pipeline(jobs, run, makeCodecState, withCodec(decodeWork)).run(produce, consume);
    if (!broken && !endMark) found.push_back(endMarkDefect(walk.volume()));
    return found;
}

// The first record of a labelled volume's variable-format data sets that
// does not unblock, as a defect with the header of its block.
bool recordFault(const Volume& volume, const LabelledVolume& v, int jobs, const Common& run, Defect& d) {
    Defect fault;
    if (!recordFault(*imageSource(volume, jobs, run), v, fault.offset, fault.message)) return false;
    fault.headerBytes = volume.bytesAt(fault.offset, fault.header, 6);
    d = fault;
    return true;
}

}  // namespace

namespace {

// A defect that validate's report of the chain shows, if any: a header that
// breaks the chain, or a last segment that the file does not hold whole.
bool chainDefect(const Volume& image, const orvTapeChainReport& chain, int rc, Findings& out) {
    const long long last = chain.lastHeaderOffset, size = image.size();
    Defect& d = out.defect;
    if (rc < 0) {
        d.code = chain.driveCode;
        d.headerBytes = image.bytesAt(last, d.header, 6);
        d.message = validateMessage(chain.driveCode, chain.lastCurLen, chain.lastPrevLen);
    } else if (last < 0) {
        return false;
    } else if (last + 6 + chain.lastCurLen > size) {
        d.message = "the last segment holds " + std::to_string(chain.lastCurLen) + " payload bytes but only " +
                    std::to_string(size - last - 6) + " remain before the end of the file: the image is cut short";
    } else if (chain.endsInBlock) {
        d.message = "the image ends inside a block: its last segment lacks the last-segment flag";
    } else {
        return false;
    }
    if (rc >= 0) {
        out.headers = chain.headers - 1;  // the last header itself is at fault
        std::copy(chain.lastHeader, chain.lastHeader + 6, d.header);
        d.headerBytes = 6;
    }
    d.offset = last;
    return true;
}

}  // namespace

Findings inspect(const Volume& image, const std::string& path, bool deep, int jobs, const Common& run) {
    Findings out;
    out.image = path;
    out.imageBytes = image.size();
    if (out.imageBytes == 0) {
        out.defective = true;
        out.defect = Defect{0, {}, 0, 0, "the file is empty: it is not a volume"};
        return out;
    }
    BlockWalk volume(image, ReadMode::Pass);
    auto walk = [&](BlockWalk& v) { return deep ? walkDecoding(v, jobs, run) : walkBlocks(v); };
    // With a core to spare, the block walk runs beside the header chain walk,
    // on a reader of its own; what it finds counts only where the chain is
    // sound, exactly as when it runs after.
    std::unique_ptr<BlockWalk> ahead;
    std::future<std::vector<Defect>> walked;
    if (jobs > 1) {
        ahead = std::make_unique<BlockWalk>(image, ReadMode::Pass);
        walked = besideOrDeferred([&] { return walk(*ahead); }, run);
    }
    orvTapeChainReport chain = ORVTAPE_CHAIN_REPORT_INIT;
    const int rc = volume.validate(chain);
    std::exception_ptr walkFailed;  // rethrown only where the walk's findings count
    std::vector<Defect> found;
    if (walked.valid()) {
        try {
            found = walked.get();
        } catch (...) {
            walkFailed = std::current_exception();
        }
    }
    if (rc < 0 && rc != ORVTAPE_ERR_TRUNCATED && rc != ORVTAPE_ERR_FLAGS && rc != ORVTAPE_ERR_CHAIN)
        throw ToolError(path, "cannot walk the image " + cause(chain.driveCode, volume.lastErrno()), kExitUsage);
    out.headers = chain.headers;
    out.multiSegment = chain.multiSegment;
    out.compressed = chain.compressed;
    out.defective = chainDefect(image, chain, rc, out);
    bool labelsRead = false;  // read once, whichever question asks first
    if (!out.defective && chain.lastHeaderOffset >= 0) {
        if (walkFailed) std::rethrow_exception(walkFailed);
        out.more = ahead ? std::move(found) : walk(volume);
        // A scratch volume as initialised (its labels, then one tapemark) is
        // complete without the end mark.
        if (out.more.size() == 1 && out.more[0].endMark) {
            out.labels = readLabels(volume);
            labelsRead = true;
            if (out.labels.scratch) out.more.clear();
        }
        out.defective = !out.more.empty();
        if (out.defective) {
            out.defect = std::move(out.more.front());
            out.more.erase(out.more.begin());
        }
    }
    // Labels that disagree with the data are defects of a readable volume.
    if (!out.defective) {
        if (!labelsRead) out.labels = readLabels(volume);
        if (out.labels.labelled) out.defective = recordFault(image, out.labels, jobs, run, out.defect);
    }
    return out;
}

}  // namespace orvtool
