// ls.cpp - orvtape ls: one line per tape file and a summary.
//
// The lines look like the library's report (TapeInformation), but the tool
// counts in 64 bits and prints its own: the report's fields are cut at a
// fixed width and its per-file byte count wraps at 4 GiB.
#include "base/console.h"
#include "cmd/command.h"
#include "cmd/extract.h"
#include "cmd/facts.h"
#include "cmd/reports.h"
#include "image/volume.h"
#include "image/walk.h"

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include <cstdio>

namespace orvtool {

// ls IMAGE [--blocks] [--json] [--sum]
struct LsArgs : Common {
    std::string image, from;
    bool blocks = false, json = false, sum = false;
};

namespace {

using Json = nlohmann::ordered_json;

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
void item(std::FILE* out, int width, const char* label, unsigned long long v) {
    std::fprintf(out, "%-*s  ", width, (label + grouped(v)).c_str());
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
                {"labels", v.ebcdic ? "standard" : "ansi"}, {"scratch", v.scratch}, {"dataSets", sets},
                {"warnings", v.warnings}};
}

// A label number, "-" where the label holds none.
std::string num(long long v) { return v < 0 ? "-" : std::to_string(v); }

// A file's sum on a line of its own, when sums were asked for.
void sumLine(std::FILE* out, const Survey& s, long long file) {
    if (file >= 0 && static_cast<size_t>(file) < s.sums.size()) std::fprintf(out, "  sha256 %s\n", s.sums[file].c_str());
}

// The listing of a labelled volume: one line per data set.
void listDataSets(const Survey& s, std::FILE* out) {
    const LabelledVolume& v = s.labels;
    std::fprintf(out, "Volume %s  owner %s  %s labels%s\n", v.volser.c_str(),
                v.owner.empty() ? "-" : v.owner.c_str(), v.ebcdic ? "standard (EBCDIC)" : "ANSI",
                v.scratch ? "  scratch (initialised, no data sets)" : "");
    std::fprintf(out, "%4s  %-17s  %-5s  %6s  %7s  %8s  %14s  %s\n", "Seq", "Data set", "Recfm", "Lrecl",
                "Blksize", "Blocks", "Bytes", "Created");
    for (const DataSet& d : v.sets) {
        std::fprintf(out, "%4s  %-17s  %-5s  %6s  %7s  %8llu  %14s  %s\n", num(d.fileSeq).c_str(), d.dsn.c_str(),
                    recfmName(d).c_str(), num(d.recordLength).c_str(), num(d.blockSize).c_str(), d.blocks,
                    grouped(d.bytes).c_str(), d.created.empty() ? "-" : d.created.c_str());
        sumLine(out, s, d.dataFile);
    }
    std::fflush(out);
    for (const std::string& w : v.warnings) warn("%s", w.c_str());
}

void fileLine(std::FILE* out, unsigned long long number, const Counts& c) {
    item(out, 12, "File-", number);
    item(out, 14, "MinBlk-", c.minBlock);
    item(out, 14, "MaxBlk-", c.maxBlock);
    item(out, 21, "Bytes-", c.bytes);
    item(out, 17, "Blocks-", c.blocks);
    std::fprintf(out, "\n");
}

// Gaps, markers and the end of medium hold no data: named alone.
bool dataless(const BlockFact& b) {
    return b.entryClass == "erase gap" || b.entryClass == "end of medium" || b.entryClass == "marker";
}

// A foreign file's entry: what it is and its length, as its format has it.
// Gaps and the end of medium have no number: they are no block.
void entryLine(std::FILE* out, const BlockFact& b) {
    if (b.number < 0)
        std::fprintf(out, "  offset %lld  %s\n", b.offset, b.entryClass.c_str());
    else if (b.entryClass == "marker")
        std::fprintf(out, "  block %lld  offset %lld  marker %u\n", b.number, b.offset, b.value);
    else if (dataless(b))
        std::fprintf(out, "  block %lld  offset %lld  %s\n", b.number, b.offset, b.entryClass.c_str());
    else
        std::fprintf(out, "  block %lld  offset %lld  data %lld%s%s\n", b.number, b.offset, b.length,
                     b.entryClass.empty() ? "" : "  class ", b.entryClass.c_str());
}

void blockLine(std::FILE* out, const BlockFact& b, bool foreign) {
    if (foreign && (!b.entryClass.empty() || b.length > 0))
        entryLine(out, b);
    else if (b.length == 0)
        std::fprintf(out, "  block %lld  offset %lld  tapemark%s\n", b.number, b.offset,
                     b.endMark ? " (end of volume)" : "");
    else
        std::fprintf(out, "  block %lld  offset %lld  stored %u  data %lld  segments %u  %s\n", b.number,
                     b.offset, b.stored, b.length, b.segments, b.transforms);
}

Json blockJson(const BlockFact& b, bool foreign) {
    Json j = Json::object();
    if (b.number >= 0) j["block"] = b.number;  // gaps and the end of medium have none
    j["offset"] = b.offset;
    if (foreign && (!b.entryClass.empty() || b.length > 0)) {
        j["file"] = b.file;
        if (!b.entryClass.empty()) j["class"] = b.entryClass;
        if (b.entryClass == "marker") j["value"] = b.value;
        j["length"] = b.length;
    } else if (b.length == 0) {
        j["tapemark"] = true;
    } else {
        j["file"] = b.file;
        j["stored"] = b.stored;
        j["length"] = b.length;
        j["segments"] = b.segments;
        j["transforms"] = b.transforms;
    }
    return j;
}

}  // namespace

void renderText(const Survey& s, bool listBlocks, std::FILE* out) {
    if (!s.format.empty()) std::fprintf(out, "Format: %s\n", s.format.c_str());
    if (s.labels.labelled && !listBlocks) {
        listDataSets(s, out);
        if (!s.failure.empty()) std::fprintf(stderr, "orvtape: %s\n", s.failure.c_str());  // only --sum meets one here
        return;
    }
    const size_t closed = s.files.size() - (s.lastFileOpen ? 1 : 0);
    if (listBlocks) {
        for (const BlockFact& b : s.blocks) {
            blockLine(out, b, !s.format.empty());
            if (b.length == 0 && b.entryClass.empty() && !b.endMark) {
                fileLine(out, b.file, s.files[b.file]);
                sumLine(out, s, static_cast<long long>(b.file));
            }
        }
    } else {
        for (size_t i = 0; i < closed; ++i) {
            fileLine(out, i, s.files[i]);
            sumLine(out, s, static_cast<long long>(i));
        }
    }
    if (!s.failure.empty()) {
        std::fflush(out);
        std::fprintf(stderr, "orvtape: %s\n", s.failure.c_str());
    }
    if (s.lastFileOpen) {
        if (s.failure.empty()) {
            std::fflush(out);
            warn("%s: file %zu has no closing tapemark", s.image.c_str(), closed);
        }
        fileLine(out, closed, s.files.back());
        sumLine(out, s, static_cast<long long>(closed));
    }
    item(out, 12, "Total-", s.files.size());
    item(out, 14, "MinBlk-", s.total.minBlock);
    item(out, 14, "MaxBlk-", s.total.maxBlock);
    item(out, 26, "TotalBytes-", s.total.bytes);
    std::fprintf(out, "\n");
}

Json renderJson(const Survey& s, bool listBlocks) {
    Json files = Json::array();
    for (size_t i = 0; i < s.files.size(); ++i) {
        const Counts& c = s.files[i];
        files.push_back(Json{{"file", i}, {"blocks", c.blocks}, {"bytes", c.bytes},
                             {"minBlock", c.minBlock}, {"maxBlock", c.maxBlock}});
        if (i < s.sums.size()) files.back()["sha256"] = s.sums[i];
    }
    Json out{{"image", s.image}, {"imageBytes", s.imageBytes}};
    if (!s.format.empty()) out["format"] = s.format;  // only for a foreign file: an image's output stays as it was
    out["files"] = files;
    out["total"] = Json{{"files", s.files.size()}, {"bytes", s.total.bytes},
                        {"minBlock", s.total.minBlock}, {"maxBlock", s.total.maxBlock}};
    if (s.labels.labelled) out["volume"] = labelJson(s.labels);
    if (listBlocks) {
        Json blocks = Json::array();
        for (const BlockFact& b : s.blocks) blocks.push_back(blockJson(b, !s.format.empty()));
        out["blocks"] = blocks;
    }
    if (!s.failure.empty()) out["error"] = "the volume could not be read to its end";
    return out;
}

namespace {

Survey surveyImage(const Volume& volume, const LsArgs& o) {
    BlockWalk walk(volume, ReadMode::Pass);
    Survey s = surveyLabels(walk, o.image);
    if (o.json || o.blocks || !s.labels.labelled) surveyBlocks(walk, o.blocks, s);
    return s;
}

// The sum of each file's bytes, decoded on the workers; a block that does
// not decode ends the sums there, as the listing's failure.
void sumTapeFiles(const Source& source, Survey& s) {
    try {
        auto blocks = source.blocks();
        TapeFiles files(*blocks);
        while (files.next()) s.sums.push_back(sumFile(files, nullptr, nullptr).sha256);
    } catch (const ToolError& e) {
        if (s.failure.empty()) s.failure = e.what();
    }
}

}  // namespace

int cmdLs(const LsArgs& o) {
    Source source = openSource(o.image, o.from, o);
    Survey s;
    if (source.image) s = surveyImage(*source.image, o);
    // A file in another format is not a damaged image: it is listed as what it is.
    if (!source.image || (!s.failure.empty() && source.foreignAfterAll()))
        s = surveyForeign(*source.open(), o.image, o.blocks).survey;
    if (o.sum) sumTapeFiles(source, s);
    if (o.json) printJson(renderJson(s, o.blocks));
    else renderText(s, o.blocks, stdout);
    return s.failure.empty() ? kExitOk : kExitFailure;
}

namespace {
Runner declareLs(CLI::App& c) {
    auto a = std::make_shared<LsArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_flag("--blocks", a->blocks, "one line per block as well");
    c.add_flag("--json", a->json, "JSON output for scripts");
    declareFrom(c, a->from);
    c.add_flag("--sum", a->sum, "the SHA-256 of each file's bytes as get writes them");
    return runWith(a, cmdLs);
}
}  // namespace
extern const Command lsCommand{"ls", "list the tape files of a volume", declareLs};

}  // namespace orvtool
