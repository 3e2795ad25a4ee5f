// convert.cpp - orvtape import and export: one record reader feeding one
// record writer, with an orvtape image on one side.  Whatever the target
// cannot hold is reported with its count and positions, never dropped
// silently, and the output appears under its name only once complete.
#include "formats/families.h"
#include "image_out.h"
#include "orvtape.h"
#include "progress.h"
#include "safe_file.h"
#include "image/volume.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace orvtool {

namespace {

constexpr size_t kPositionsShown = 10;

// Offsets of one kind of event, the first few kept for the report.
struct Events {
    long long count = 0;
    std::vector<long long> at;
    void add(long long offset) {
        if (at.size() < kPositionsShown) at.push_back(offset);
        ++count;
    }
    std::string where() const {
        std::string s;
        for (long long a : at) s += (s.empty() ? "" : ", ") + std::to_string(a);
        return s + (count > static_cast<long long>(at.size()) ? ", ..." : "");
    }
};

struct Tally {
    long long blocks = 0, marks = 0;
    Events gaps, flagged, empty, split, unpacked, unscrambled;
    long long endOfMedium = -1;
};

FormatSettings settingsFrom(const Options& o, const std::string& name) {
    FormatSettings s;
    s.name = name;
    s.maxBlock = static_cast<size_t>(o.maxBlock);
    s.split = o.split;
    s.chunk = o.chunk;
    s.compress = o.method;
    s.level = o.level;
    return s;
}

void putData(RecordWriter& wr, const Carries& c, Record& r, const FormatSettings& s,
             const std::string& format, Record& piece, Tally& t) {
    if (r.length <= c.maxBlock) {
        wr.put(r);
        ++t.blocks;
        return;
    }
    if (!s.split)
        throw ToolError(s.name, "block " + std::to_string(t.blocks + t.marks) + " at offset " +
                                    std::to_string(r.offset) + " holds " +
                                    std::to_string(r.length) + " bytes; " + format +
                                    " takes at most " + std::to_string(c.maxBlock) +
                                    " per block (--split cuts longer blocks into several)");
    t.split.add(r.offset);
    piece.kind = Record::Data;
    piece.packing = r.packing;
    piece.readError = r.readError;
    piece.data.resize(c.maxBlock);
    for (size_t done = 0; done < r.length; done += piece.length) {
        piece.length = std::min(c.maxBlock, r.length - done);
        std::memcpy(piece.data.data(), r.data.data() + done, piece.length);
        wr.put(piece);
        ++t.blocks;
    }
}

// Passes every record from rd to wr; the caller commits the output.
void convert(RecordReader& rd, RecordWriter& wr, const FormatSettings& s,
             const std::string& format, Progress& progress, Tally& t) {
    const Carries c = wr.carries();
    Record r, piece;
    long long shown = 0;
    while (rd.next(r)) {
        switch (r.kind) {
        case Record::Gap:
            t.gaps.add(r.offset);
            if (c.gaps) wr.put(r);
            break;
        case Record::EndOfMedium:
            t.endOfMedium = r.offset;
            if (c.endOfMedium) wr.put(r);
            break;
        case Record::Tapemark:
            wr.put(r);
            ++t.marks;
            break;
        case Record::Data:
            if (r.length == 0 && !c.readErrors) {
                t.empty.add(r.offset);  // only a flagged record can be empty
                break;
            }
            if (r.readError && !c.readErrors) t.flagged.add(r.offset);
            if (r.packing != Packing::Plain && !c.compression) t.unpacked.add(r.offset);
            if (r.scrambled && !c.scrambling) t.unscrambled.add(r.offset);
            putData(wr, c, r, s, format, piece, t);
            break;
        }
        progress.advance(static_cast<unsigned long long>(rd.consumed() - shown));
        shown = rd.consumed();
    }
    wr.finish();
    progress.finish();
}

// The losses and changes a conversion made, as warnings and notes.
void report(const Options& o, const std::string& src, const std::string& format, const Tally& t) {
    auto warnAbout = [&](const Events& e, const std::string& what) {
        if (e.count)
            warn("%s: %s: %lld (at offset%s %s)", src.c_str(), what.c_str(), e.count,
                 e.count > 1 ? "s" : "", e.where().c_str());
    };
    warnAbout(t.gaps, "erase gaps skipped, as an image cannot hold them");
    warnAbout(t.flagged, "records read with an error, imported without the flag");
    warnAbout(t.empty, "empty records flagged as read with an error, skipped");
    warnAbout(t.split, "blocks too long for " + format + ", split");
    if (t.unpacked.count)
        note(o, "%s: compressed blocks written uncompressed, as %s does not compress: %lld",
             src.c_str(), format.c_str(), t.unpacked.count);
    if (t.unscrambled.count)
        note(o, "%s: scrambled blocks written plain, as %s does not scramble: %lld", src.c_str(),
             format.c_str(), t.unscrambled.count);
    if (t.endOfMedium >= 0)
        note(o, "%s: the end-of-medium mark at offset %lld ends the volume", src.c_str(),
             t.endOfMedium);
}

}  // namespace

int cmdImport(const Options& o) {
    InputBytes in(o.source);
    refuseSameFile(o.source, STDIN_FILENO, o.target, STDOUT_FILENO);
    std::string format = o.format;
    if (format.empty()) {
        std::string considered;
        format = detectFormat(in, &considered);
        if (format == "orv")
            throw ToolError(in.name(), "is already an orvtape image; 'orvtape copy' copies it",
                            kExitUsage);
        if (format.empty())
            throw ToolError(in.name(), "is in no format import recognises (" + considered +
                                           "); name it with --from", kExitUsage);
        note(o, "%s: %s format detected (%s); --from overrides", in.name().c_str(),
             format.c_str(), describeFormat(format).c_str());
    }
    ImageLock lock(o.wait);
    if (o.target != "-") lock.claim(o.target);
    refuseToReplace(o.target, o.force, false);
    NewFile out(o.target, false, o.force, &lock);
    ImageOut image(out.path(), o.target, o);
    FormatSettings s = settingsFrom(o, in.name());
    auto rd = makeReader(format, in, s);
    auto wr = makeImageWriter(image, o);
    Progress progress("import", static_cast<unsigned long long>(std::max(0LL, in.size())),
                      o.quiet);
    Tally t;
    convert(*rd, *wr, s, "an orvtape image", progress, t);
    out.commit();
    report(o, in.name(), "an orvtape image", t);
    note(o, "%s: %lld records and %lld tapemarks imported", o.target.c_str(), t.blocks, t.marks);
    return kExitOk;
}

int cmdExport(const Options& o) {
    bool het = o.format == "het", chunked = het || o.format == "aws";
    if ((o.method != "keep" || o.level) && !het)
        throw ToolError("", "--compress and --level apply to het only", kExitUsage);
    if (o.chunk != 65535 && !chunked)
        throw ToolError("", "--chunk applies to aws and het only", kExitUsage);
    const Volume volume = Volume::forReading(o.source, Limits{o.maxBlock, o.wait});
    refuseSameFile(o.source, STDIN_FILENO, o.target, STDOUT_FILENO);
    refuseToReplace(o.target, o.force, true);
    NewFile out(o.target, true, o.force);
    OutputBytes bytes(out.fd(), o.target == "-" ? "standard output" : o.target);
    FormatSettings s = settingsFrom(o, o.source);
    auto rd = makeImageReader(volume, o.jobs);
    auto wr = makeWriter(o.format, bytes, s);
    Progress progress("export", static_cast<unsigned long long>(std::max(0LL, volume.size())),
                      o.quiet);
    Tally t;
    convert(*rd, *wr, s, o.format, progress, t);
    out.commit();
    report(o, o.source, o.format, t);
    note(o, "%s: %lld records and %lld tapemarks exported", o.target.c_str(), t.blocks, t.marks);
    return kExitOk;
}

}  // namespace orvtool
