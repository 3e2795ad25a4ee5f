// ls.cpp - orvtape ls: one line per tape file and a summary.
//
// The lines look like the library's report (TapeInformation), but the tool
// counts in 64 bits and prints its own: the report's fields are cut at a
// fixed width and its per-file byte count wraps at 4 GiB.
#include "formats/format.h"
#include "image/walk.h"
#include "image/labels.h"
#include "orvtape.h"
#include "safe_file.h"
#include "cmd/command.h"

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include <cstdio>

namespace orvtool {

// ls IMAGE [--blocks] [--json]
struct LsArgs : Common {
    std::string image;
    bool blocks = false, json = false;
};

namespace {

using Json = nlohmann::ordered_json;

struct Counts {
    unsigned long long bytes = 0, blocks = 0, minBlk = 0, maxBlk = 0;

    void add(unsigned long long len) {
        if (blocks == 0 || len < minBlk) minBlk = len;
        if (len > maxBlk) maxBlk = len;
        ++blocks;
        bytes += len;
    }
};

// Digits grouped by thousands with commas, as the report prints them.
std::string grouped(unsigned long long v) {
    std::string d = std::to_string(v), out;
    for (size_t i = 0; i < d.size(); ++i) {
        out += d[i];
        if ((d.size() - 1 - i) % 3 == 0 && i + 1 < d.size()) out += ',';
    }
    return out;
}

// One item of a line: the report's width as a minimum, never a limit.
void item(int width, const char* label, unsigned long long v) {
    std::printf("%-*s  ", width, (label + grouped(v)).c_str());
}

std::string recfmName(const DataSet& d) {
    if (d.recfm == ' ') return "?";
    return std::string(1, d.recfm) + (d.blockAttr == 'R' ? "BS" : d.blockAttr == ' ' ? "" : std::string(1, d.blockAttr));
}

Json labelJson(const LabelledVolume& v) {
    Json sets = Json::array();
    for (const DataSet& d : v.sets)
        sets.push_back(Json{{"sequence", d.fileSeq}, {"name", d.dsn},
                            {"recfm", recfmName(d)}, {"lrecl", d.recordLength},
                            {"blockSize", d.blockSize}, {"blocks", d.blocks}, {"bytes", d.bytes},
                            {"created", d.created}, {"file", d.dataFile}});
    return Json{{"serial", v.volser}, {"owner", v.owner},
                {"labels", v.ebcdic ? "standard" : "ansi"}, {"dataSets", sets},
                {"warnings", v.warnings}};
}

// A label number, "-" where the label holds none.
std::string num(long long v) { return v < 0 ? "-" : std::to_string(v); }

// The listing of a labelled volume: one line per data set.
void listDataSets(const LabelledVolume& v) {
    std::printf("Volume %s  owner %s  %s labels\n", v.volser.c_str(),
                v.owner.empty() ? "-" : v.owner.c_str(), v.ebcdic ? "standard (EBCDIC)" : "ANSI");
    std::printf("%4s  %-17s  %-5s  %6s  %7s  %8s  %14s  %s\n", "Seq", "Data set", "Recfm", "Lrecl",
                "Blksize", "Blocks", "Bytes", "Created");
    for (const DataSet& d : v.sets)
        std::printf("%4s  %-17s  %-5s  %6s  %7s  %8llu  %14s  %s\n", num(d.fileSeq).c_str(), d.dsn.c_str(),
                    recfmName(d).c_str(), num(d.recordLength).c_str(), num(d.blockSize).c_str(), d.blocks,
                    grouped(d.bytes).c_str(), d.created.empty() ? "-" : d.created.c_str());
    std::fflush(stdout);
    for (const std::string& w : v.warnings) warn("%s", w.c_str());
}

}  // namespace

int cmdLs(const LsArgs& o) {
    const Volume volume = Volume::forReading(o.image, Limits{o.maxBlock, o.wait});
    const long long size = volume.size();
    BlockWalk walk(volume, ReadMode::Pass);
    LabelledVolume labels;
    try {
        labels = readLabels(walk);
    } catch (const ToolError&) {
        // The block walk below reports what cannot be read.
    }
    if (labels.labelled && !o.json && !o.blocks) {
        listDataSets(labels);
        return kExitOk;
    }
    walk.rewind();
    Json files = Json::array(), blocks = Json::array();
    Counts file, tape_;
    unsigned long long fileNo = 0;
    auto closeFile = [&]() {
        if (o.json) {
            files.push_back(Json{{"file", fileNo}, {"blocks", file.blocks}, {"bytes", file.bytes},
                                 {"minBlock", file.minBlk}, {"maxBlock", file.maxBlk}});
        } else {
            item(12, "File-", fileNo);
            item(14, "MinBlk-", file.minBlk);
            item(14, "MaxBlk-", file.maxBlk);
            item(21, "Bytes-", file.bytes);
            item(17, "Blocks-", file.blocks);
            std::printf("\n");
        }
        ++fileNo;
        file = Counts{};
    };
    int failure = 0;
    for (;;) {
        Block blk;
        Step step;
        Failure f;
        if (!walk.tryStep(blk, step, f)) {
            std::fflush(stdout);
            // A file in another emulator's format is not damaged: say what it is.
            std::string hint = otherFormatHint(o.image);
            std::fprintf(stderr, "orvtape: %s\n", hint.empty() ? ReadError(o.image, f).what() : hint.c_str());
            failure = kExitFailure;
            break;
        }
        if (step == Step::EndOfData) break;
        const orvTapeBlockInfo& b = walk.info();
        const int rc = static_cast<int>(blk.length);
        const long long at = blk.offset;
        const long long block = blk.number;
        const bool endMark = step == Step::EndMark;
        if (o.blocks) {
            if (o.json) {
                Json j{{"block", block}, {"offset", at}};
                if (rc == 0) {
                    j["tapemark"] = true;
                } else {
                    j["file"] = fileNo;
                    j["stored"] = static_cast<unsigned long long>(b.storedLength);
                    j["length"] = rc;
                    j["segments"] = static_cast<int>(b.segments);
                    j["transforms"] = transformName(b.flags2);
                }
                blocks.push_back(j);
            } else if (rc == 0) {
                std::printf("  block %lld  offset %lld  tapemark%s\n", block, at,
                            endMark ? " (end of volume)" : "");
            } else {
                std::printf("  block %lld  offset %lld  stored %u  data %d  segments %u  %s\n",
                            block, at, b.storedLength, rc, b.segments, transformName(b.flags2));
            }
        }
        if (endMark) continue;  // the end-of-volume mark closes no file
        if (rc == 0) {
            closeFile();
        } else {
            file.add(static_cast<unsigned long long>(rc));
            tape_.add(static_cast<unsigned long long>(rc));
        }
    }
    if (file.blocks > 0) {
        if (!o.json && !failure) {
            std::fflush(stdout);
            warn("%s: file %llu has no closing tapemark", o.image.c_str(), fileNo);
        }
        closeFile();
    }
    if (o.json) {
        Json out{{"image", o.image},
                 {"imageBytes", size},
                 {"files", files},
                 {"total", Json{{"files", fileNo}, {"bytes", tape_.bytes},
                                {"minBlock", tape_.minBlk}, {"maxBlock", tape_.maxBlk}}}};
        if (labels.labelled) out["volume"] = labelJson(labels);
        if (o.blocks) out["blocks"] = blocks;
        if (failure) out["error"] = "the volume could not be read to its end";
        printJson(std::move(out));
    } else {
        item(12, "Total-", fileNo);
        item(14, "MinBlk-", tape_.minBlk);
        item(14, "MaxBlk-", tape_.maxBlk);
        item(26, "TotalBytes-", tape_.bytes);
        std::printf("\n");
    }
    return failure;
}


namespace {
Runner declareLs(CLI::App& c) {
    auto a = std::make_shared<LsArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_flag("--blocks", a->blocks, "one line per block as well");
    c.add_flag("--json", a->json, "JSON output for scripts");
    return runWith(a, cmdLs);
}
}  // namespace
extern const Command lsCommand{"ls", "list the tape files of a volume", declareLs};

}  // namespace orvtool
