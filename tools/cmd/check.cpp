// check.cpp - orvtape check: what inspecting a volume found, as a verdict
// in text or JSON; exit 0 clean, 1 defect.
#include "base/console.h"
#include "cmd/command.h"
#include "cmd/extract.h"
#include "cmd/facts.h"
#include "cmd/reports.h"
#include "image/volume.h"

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include <cstdio>

namespace orvtool {

// check IMAGE [--json] [--deep]
struct CheckArgs : Common {
    std::string image, from;
    bool json = false, deep = false;
    std::string manifest;  // --manifest
};

namespace {

// A foreign file read in place: its format and records instead of headers.
void renderForeign(const Findings& f, std::FILE* out) {
    const char* image = f.image.c_str();
    std::fprintf(out, "%s: %s file, %lld record%s, %s\n", image, f.format.c_str(), f.records,
                 f.records == 1 ? "" : "s",
                 f.labelsDisagree() ? "but the labels disagree with the data" : f.defective ? "defective" : "clean");
    for (const std::string& w : f.labels.warnings) std::fprintf(out, "  %s\n", w.c_str());
    if (!f.defective) return;
    std::fprintf(out, "  offset %lld: %s\n", f.defect.offset, f.defect.message.c_str());
    for (const Defect& m : f.more) std::fprintf(out, "  offset %lld: %s\n", m.offset, m.message.c_str());
}

nlohmann::ordered_json foreignJson(const Findings& f) {
    nlohmann::ordered_json j{{"image", f.image}, {"imageBytes", f.imageBytes}, {"format", f.format},
                             {"records", f.records}, {"clean", f.clean()}};
    if (f.defective) {
        j["defect"] = {{"offset", f.defect.offset}, {"message", f.defect.message}};
        for (const Defect& m : f.more) j["more"].push_back({{"offset", m.offset}, {"message", m.message}});
    }
    if (f.labels.labelled) j["labelWarnings"] = f.labels.warnings;
    return j;
}

}  // namespace

void renderText(const Findings& f, std::FILE* out) {
    if (!f.format.empty()) return renderForeign(f, out);
    const char* image = f.image.c_str();
    const Defect& d = f.defect;
    if (f.foreign) {
        std::fprintf(out, "%s\n", d.message.c_str());
    } else if (f.labelsDisagree()) {
        std::fprintf(out, "%s: %lld good headers, but the labels disagree with the data\n", image, f.headers);
        for (const std::string& w : f.labels.warnings) std::fprintf(out, "  %s\n", w.c_str());
        if (f.defective) std::fprintf(out, "  %s\n", d.message.c_str());  // a record fault, found after the labels
    } else if (!f.defective) {
        std::fprintf(out, "%s: %lld headers, clean\n", image, f.headers);
    } else {
        std::fprintf(out, "%s: defect after %lld good header%s\n", image, f.headers, f.headers == 1 ? "" : "s");
        std::fprintf(out, "  offset %lld, header bytes %s\n", d.offset,
                     d.headerBytes ? hexBytes(d.header, d.headerBytes).c_str() : "(none)");
        std::fprintf(out, "  %s\n", d.message.c_str());
        for (const Defect& m : f.more) std::fprintf(out, "  %s\n", m.message.c_str());
    }
}

nlohmann::ordered_json renderJson(const Findings& f) {
    if (!f.format.empty()) return foreignJson(f);
    nlohmann::ordered_json j{{"image", f.image}, {"imageBytes", f.imageBytes},
                             {"headers", f.headers}, {"clean", !f.defective},
                             {"multiSegment", f.multiSegment}, {"compressed", f.compressed}};
    if (f.defective) {
        const Defect& d = f.defect;
        nlohmann::ordered_json defect{{"offset", d.offset}, {"header", hexBytes(d.header, d.headerBytes)}};
        if (d.code != 0) defect["code"] = d.code;  // only codes from the library
        defect["message"] = d.message;
        j["defect"] = defect;
        for (const Defect& m : f.more) j["more"].push_back({{"offset", m.offset}, {"message", m.message}});
    }
    if (f.labels.labelled) j["labelWarnings"] = f.labels.warnings;
    if (f.labelsDisagree()) j["clean"] = false;
    return j;
}

int cmdCheck(const CheckArgs& o) {
    if (!o.manifest.empty()) return checkManifest(o.image, o.from, o.manifest, o);
    Source source = openSource(o.image, o.from, o);
    Findings f;
    if (source.image) f = inspect(*source.image, o.image, o.deep, o.jobs, o);
    // A file in another format is not a damaged image: it is checked as what
    // it is, by its reader, which reads every byte, --deep or not.
    if (!source.image || (f.defective && source.foreignAfterAll())) {
        f = foreignFindings(surveyForeign(*source.open(), o.image, false));
        // As on an image, a variable-format data set whose records do not
        // unblock is a defect of a volume that reads.
        if (!f.defective && f.labels.labelled)
            f.defective = recordFault(*source.blocks(), f.labels, f.defect.offset, f.defect.message);
    }
    if (o.json) printJson(renderJson(f));
    else renderText(f, stdout);
    return f.clean() ? kExitOk : kExitFailure;
}

namespace {
Runner declareCheck(CLI::App& c) {
    auto a = std::make_shared<CheckArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_flag("--json", a->json, "JSON output for scripts");
    c.add_flag("--deep", a->deep, "decode every block and report each that does not decode");
    declareFrom(c, a->from);
    c.add_option("--manifest", a->manifest, "compare the files with a manifest of get --all");
    return runWith(a, cmdCheck);
}
}  // namespace
// check tells a defect (1) from a failure to look (2).
extern const Command checkCommand{"check", "check an image; exit 0 clean, 1 defect, 2 usage or I/O error",
                                  declareCheck, kExitUsage};

}  // namespace orvtool
