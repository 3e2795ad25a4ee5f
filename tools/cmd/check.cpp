// check.cpp - orvtape check: the header chain as the library's validate sees
// it, then what a header walk alone cannot see (a last segment running past
// the end of the file, an image ending inside a block, blocks whose payload
// does not read), then the volume's end mark; --deep decodes every block.
// Both walks go through the streaming reader (BlockWalk); --deep decodes
// on the pipeline's workers.
#include "formats/format.h"
#include "image/labels.h"
#include "orvtape.h"
#include "image/decode.h"
#include "safe_file.h"
#include "cmd/command.h"

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <vector>

namespace orvtool {

// check IMAGE [--json] [--deep]
struct CheckArgs : Common {
    std::string image;
    bool json = false, deep = false;
};

namespace {

struct Defect {
    long long offset = -1;
    unsigned char header[6] = {};
    int headerBytes = 0;  // how many of header[] were read
    int code = 0;
    std::string message;
};

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
    return d;
}

// Every block passed in order: catches payloads that are cut short, blocks
// beyond --max-block and empty compressed blocks; then a volume without its
// end mark.  Stops at the first defect.
std::vector<Defect> walkBlocks(BlockWalk& walk) {
    walk.rewind();
    Block b;
    Step s = Step::Block, last;
    Failure f;
    do {
        last = s;
        if (!walk.tryStep(b, s, f)) return {blockDefect(walk.volume(), f)};
    } while (s != Step::EndOfData);
    if (last != Step::EndMark) return {endMarkDefect(walk.volume())};
    return {};
}

// walkBlocks that also decodes every block, on the workers, and goes on
// after a block that does not read as long as the walk can pass it.
std::vector<Defect> walkDecoding(BlockWalk& walk, int jobs, bool quiet) {
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
    Pipeline(jobs, quiet, makeCodecState, withCodec(decodeWork)).run(produce, consume);
    if (!broken && !endMark) found.push_back(endMarkDefect(walk.volume()));
    return found;
}

// The first record that a variable-format data set of a labelled volume
// cannot give back: descriptor words that do not fit, bytes beyond the
// block's length, spanned segments out of order.  The block walk has passed
// every block already, so a block that does not read ends the look quietly.
bool recordFault(const Volume& volume, const LabelledVolume& v, Defect& d) {
    std::map<long long, size_t> sets;  // tape file of the data -> its data set
    for (size_t i = 0; i < v.sets.size(); ++i)
        if (v.sets[i].recfm == 'V' && v.sets[i].dataFile >= 0) sets[v.sets[i].dataFile] = i;
    if (sets.empty()) return false;
    BlockWalk walk(volume, ReadMode::Decoded);
    std::unique_ptr<Unblocker> records;
    long long file = -1, blockNo = 0;
    std::string scratch;
    for (;;) {
        Block b;
        Step step;
        Failure f;
        if (!walk.tryStep(b, step, f) || step == Step::EndOfData) return false;
        const long long fileNumber = walk.info().fileNumber;
        const int rc = static_cast<int>(b.length);
        auto it = sets.find(fileNumber);
        if (it == sets.end()) continue;
        const DataSet& s = v.sets[it->second];
        if (file != fileNumber) {
            records = std::make_unique<Unblocker>(RecordFormat{'V', s.blockAttr, s.recordLength}, false, false,
                                                  false, ' ');
            file = fileNumber;
            blockNo = 0;
        }
        try {
            scratch.clear();
            if (rc == 0) records->finish();
            else records->block(reinterpret_cast<const char*>(b.data), static_cast<size_t>(rc), blockNo++, scratch);
        } catch (const ToolError& e) {
            Defect fault;
            fault.offset = b.offset;
            fault.headerBytes = volume.bytesAt(b.offset, fault.header, 6);
            fault.message = "data set " + std::to_string(it->second + 1) + " (" + s.dsn + "): " + e.what();
            d = fault;
            return true;
        }
    }
}

}  // namespace

int cmdCheck(const CheckArgs& o) {
    const Volume image = Volume::forReading(o.image, Limits{o.maxBlock, o.wait});
    const long long size = image.size();
    BlockWalk volume(image, ReadMode::Pass);
    auto walk = [&](BlockWalk& v) { return o.deep ? walkDecoding(v, o.jobs, o.quiet) : walkBlocks(v); };
    // With a core to spare, the block walk runs beside the header chain walk,
    // on a reader of its own; what it finds counts only where the chain is
    // sound, exactly as when it runs after.
    std::unique_ptr<BlockWalk> ahead;
    std::future<std::vector<Defect>> walked;
    if (o.jobs > 1 && size > 0) {
        ahead = std::make_unique<BlockWalk>(image, ReadMode::Pass);
        walked = besideOrDeferred([&] { return walk(*ahead); }, o.quiet);
    }
    orvTapeChainReport chain = ORVTAPE_CHAIN_REPORT_INIT;
    const int rc = volume.validate(chain);
    const long long last = chain.lastHeaderOffset;
    const unsigned char* hdr = chain.lastHeader;
    std::exception_ptr walkFailed;  // rethrown only where the walk's findings count
    std::vector<Defect> found;
    if (walked.valid()) {
        try {
            found = walked.get();
        } catch (...) {
            walkFailed = std::current_exception();
        }
    }
    long long headers = chain.headers;
    Defect d;
    bool defect = false;
    std::vector<Defect> more;  // with --deep, every block after the first that does not decode

    if (size == 0) {
        defect = true;
        d = Defect{0, {}, 0, 0, "the file is empty: it is not a volume"};
        headers = 0;
    } else if (rc < 0) {
        if (rc != ORVTAPE_ERR_TRUNCATED && rc != ORVTAPE_ERR_FLAGS && rc != ORVTAPE_ERR_CHAIN)
            throw ToolError(o.image, "cannot walk the image " + cause(chain.driveCode, volume.lastErrno()),
                            kExitUsage);
        defect = true;
        d.offset = last;
        d.code = chain.driveCode;
        d.headerBytes = image.bytesAt(last, d.header, 6);
        d.message = validateMessage(chain.driveCode, chain.lastCurLen, chain.lastPrevLen);
    } else if (last >= 0) {
        const unsigned curLen = chain.lastCurLen;
        const long long end = last + 6 + curLen;
        if (end > size) {
            defect = true;
            d.message = "the last segment holds " + std::to_string(curLen) +
                        " payload bytes but only " + std::to_string(size - last - 6) +
                        " remain before the end of the file: the image is cut short";
        } else if (chain.endsInBlock) {
            defect = true;
            d.message = "the image ends inside a block: its last segment lacks the "
                        "last-segment flag";
        }
        if (defect) {
            headers = chain.headers - 1;  // the last header itself is at fault
            d.offset = last;
            std::copy(hdr, hdr + 6, d.header);
            d.headerBytes = 6;
        } else {
            if (walkFailed) std::rethrow_exception(walkFailed);
            more = ahead ? std::move(found) : walk(volume);
            defect = !more.empty();
            if (defect) {
                d = more.front();
                more.erase(more.begin());
            }
        }
    }

    // Labels that disagree with the data are defects of a readable volume.
    LabelledVolume labels;
    if (!defect && size > 0) labels = readLabels(volume);
    if (!defect && labels.labelled && recordFault(image, labels, d)) defect = true;
    const bool labelDefect = !labels.warnings.empty();

    // A file in another emulator's format is not damaged: say what it is.
    const std::string hint = defect ? otherFormatHint(o.image) : "";
    if (!hint.empty()) d.message = hint;
    if (o.json) {
        nlohmann::ordered_json j{{"image", o.image}, {"imageBytes", size},
                                 {"headers", headers}, {"clean", !defect},
                                 {"multiSegment", chain.multiSegment}, {"compressed", chain.compressed}};
        if (defect)
        {
            nlohmann::ordered_json defect{{"offset", d.offset},
                                          {"header", hexBytes(d.header, d.headerBytes)}};
            if (d.code != 0) defect["code"] = d.code;  // only codes from the library
            defect["message"] = d.message;
            j["defect"] = defect;
            for (const Defect& m : more)
                j["more"].push_back({{"offset", m.offset}, {"message", m.message}});
        }
        if (labels.labelled) j["labelWarnings"] = labels.warnings;
        if (labelDefect) j["clean"] = false;
        printJson(std::move(j));
    } else if (!hint.empty()) {
        std::printf("%s\n", hint.c_str());
    } else if (labelDefect) {
        std::printf("%s: %lld good headers, but the labels disagree with the data\n",
                    o.image.c_str(), headers);
        for (const std::string& w : labels.warnings) std::printf("  %s\n", w.c_str());
        if (defect) std::printf("  %s\n", d.message.c_str());  // a record fault, found after the labels
    } else if (!defect) {
        std::printf("%s: %lld headers, clean\n", o.image.c_str(), headers);
    } else {
        std::printf("%s: defect after %lld good header%s\n", o.image.c_str(), headers,
                    headers == 1 ? "" : "s");
        std::printf("  offset %lld, header bytes %s\n", d.offset,
                    d.headerBytes ? hexBytes(d.header, d.headerBytes).c_str() : "(none)");
        std::printf("  %s\n", d.message.c_str());
        for (const Defect& m : more) std::printf("  %s\n", m.message.c_str());
    }
    return defect || labelDefect ? kExitFailure : kExitOk;
}


namespace {
Runner declareCheck(CLI::App& c) {
    auto a = std::make_shared<CheckArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_flag("--json", a->json, "JSON output for scripts");
    c.add_flag("--deep", a->deep, "decode every block and report each that does not decode");
    return runWith(a, cmdCheck);
}
}  // namespace
// check tells a defect (1) from a failure to look (2).
extern const Command checkCommand{"check", "check an image; exit 0 clean, 1 defect, 2 usage or I/O error",
                                  declareCheck, kExitUsage};

}  // namespace orvtool
