// facts.cpp - one pass over a foreign file for ls and check.
#include "cmd/facts.h"

#include "labels/dataset.h"

namespace orvtool {

namespace {

// Counts a file's blocks and tapemarks as an image of its import holds
// them: the last tapemark is the end mark when it follows another tapemark
// (or the load point) and nothing an import keeps follows it.
class FileCounter {
public:
    explicit FileCounter(Survey& s) : s_(s) {}
    // b is kept by an import; fact: its place in the listing, -1 when unlisted.
    void add(const Block& b, long long fact) {
        const bool mark = b.kind == Kind::Mark;
        lastFollowsMark_ = mark && lastWasMark_;
        lastWasMark_ = mark;
        lastFact_ = fact;
        if (!mark) {
            open_.add(b.length);
            s_.total.add(b.length);
            return;
        }
        s_.files.push_back(open_);
        open_ = Counts{};
    }
    // At the end of what was read; whole: no failure cut it short.
    void finish(bool whole) {
        if (whole && lastWasMark_ && lastFollowsMark_) {
            s_.files.pop_back();  // the end mark closes no file
            if (lastFact_ >= 0) s_.blocks[static_cast<size_t>(lastFact_)].endMark = true;
        }
        s_.lastFileOpen = open_.blocks > 0;
        if (s_.lastFileOpen) s_.files.push_back(open_);
    }
    unsigned long long file() const { return s_.files.size(); }

private:
    Survey& s_;
    Counts open_;
    bool lastWasMark_ = true, lastFollowsMark_ = false;  // the load point counts as a tapemark
    long long lastFact_ = -1;
};

BlockFact factOf(const Block& b, long long number, unsigned long long file) {
    BlockFact f;
    f.number = number;
    f.offset = b.offset;
    f.file = file;
    f.length = b.kind == Kind::Data ? static_cast<long long>(b.length) : 0;
    f.entryClass = entryClass(b);
    f.value = b.value;
    return f;
}

Defect defectAt(long long offset, const std::string& message) {
    Defect d;
    d.offset = offset;
    d.message = message;
    return d;
}

}  // namespace

ForeignFacts surveyForeign(ForeignFile& file, const std::string& path, bool listBlocks) {
    ForeignFacts out;
    Survey& s = out.survey;
    s.image = path;
    s.imageBytes = file.size();
    s.format = file.format().title;
    LabelScanner labels;
    bool scanning = true;
    FileCounter counter(s);
    Block b;
    long long number = 0;
    try {
        while (file.next(b)) {
            const long long n = numbered(b) ? number++ : -1;
            if (listBlocks) s.blocks.push_back(factOf(b, n, counter.file()));
            if (b.kind == Kind::Data) ++out.records;
            if (b.kind == Kind::Data && (b.readError || b.recordClass == record_class::kBad))
                out.defects.push_back(defectAt(b.offset, "block " + std::to_string(n) + " at offset " +
                                                             std::to_string(b.offset) +
                                                             " was read with an error: its data is in doubt"));
            if (!importKeeps(b)) continue;
            if (scanning) scanning = labels.put(b);
            counter.add(b, listBlocks ? static_cast<long long>(s.blocks.size()) - 1 : -1);
        }
    } catch (const FormatError& e) {
        s.failure = e.what();
        out.defects.push_back(defectAt(e.offset, e.reason));
    }
    counter.finish(s.failure.empty());
    // As on an image, labels are read only from a volume read to its end.
    if (s.failure.empty()) s.labels = labels.finish();
    return out;
}

Findings foreignFindings(ForeignFacts facts) {
    Findings f;
    const Survey& s = facts.survey;
    f.image = s.image;
    f.imageBytes = s.imageBytes;
    f.format = s.format;
    f.records = facts.records;
    f.labels = s.labels;
    f.defective = !facts.defects.empty();
    if (f.defective) {
        f.defect = facts.defects.front();
        f.more.assign(facts.defects.begin() + 1, facts.defects.end());
    }
    return f;
}

}  // namespace orvtool
