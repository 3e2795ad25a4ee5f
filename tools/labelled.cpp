// labelled.cpp - reading a volume as data sets: HDR labels, data, EOF labels,
// each group in a tape file of its own.
#include "labelled.h"
#include "volume.h"

#include <cctype>

namespace orvtool {

namespace {

// One tape file: its labels when its first block is one, else its size.
struct TapeFile {
    std::vector<Label> labels;
    unsigned long long blocks = 0, bytes = 0;
};

const Label* find(const TapeFile& f, const char* id) {
    for (const Label& l : f.labels)
        if (l.id == id) return &l;
    return nullptr;
}

std::string name(size_t n, const DataSet& d) {
    return "data set " + std::to_string(n) + " (" + (d.dsn.empty() ? "no name" : d.dsn) + ")";
}

// Groups the tape files into data sets and notes every disagreement.
void interpret(std::vector<TapeFile>& files, LabelledVolume& v) {
    files[0].labels.erase(files[0].labels.begin());  // the VOL1 label
    for (size_t i = 0; i < files.size();) {
        const TapeFile& f = files[i];
        const Label* h1 = find(f, "HDR1");
        if (!h1) {
            if (i > 0 || !f.labels.empty() || f.blocks > 0)
                v.warnings.push_back("tape file " + std::to_string(i) +
                                     (f.labels.empty() ? ": data without header labels"
                                                       : ": labels without a data set (" +
                                                             f.labels[0].id + ")"));
            ++i;
            continue;
        }
        DataSet d;
        d.fileSeq = h1->fileSeq;
        d.dsn = h1->dsn;
        d.created = labelDate(h1->created);
        if (const Label* h2 = find(f, "HDR2")) {
            d.recfm = h2->recfm;
            d.blockAttr = h2->blockAttr;
            d.blockSize = h2->blockSize;
            d.recordLength = h2->recordLength;
        }
        const size_t n = v.sets.size() + 1;
        if (i + 1 >= files.size() || !files[i + 1].labels.empty()) {
            v.warnings.push_back(name(n, d) + ": header labels without data");
            v.sets.push_back(d);
            ++i;
            continue;
        }
        d.dataFile = static_cast<long long>(i + 1);
        d.blocks = files[i + 1].blocks;
        d.bytes = files[i + 1].bytes;
        const Label* e1 = i + 2 < files.size() ? find(files[i + 2], "EOF1") : nullptr;
        if (!e1 && i + 2 < files.size()) e1 = find(files[i + 2], "EOV1");
        if (!e1) {
            v.warnings.push_back(name(n, d) + ": no EOF labels after its data");
            i += 2;
        } else {
            if (e1->blockCount < 0)
                v.warnings.push_back(name(n, d) + ": the " + e1->id +
                                     " block count is not a number");
            else if (static_cast<unsigned long long>(e1->blockCount) != d.blocks)
                v.warnings.push_back(name(n, d) + ": " + e1->id + " counts " +
                                     std::to_string(e1->blockCount) + " blocks, the data holds " +
                                     std::to_string(d.blocks));
            i += 3;
        }
        v.sets.push_back(d);
    }
}

}  // namespace

LabelledVolume readLabels(ORVtape& tape, long long size, const std::string& path) {
    LabelledVolume v;
    std::vector<TapeFile> files(1);
    std::vector<char> buf(kLabelBytes);
    bool prevTm = true, first = true;
    tape.rew();
    for (;;) {
        tape.getPosition();
        const long long at = tape.curPos;
        TapeFile& f = files.back();
        // Only a file's leading blocks can be labels: the rest are only counted.
        const bool labels = f.blocks == 0 || !f.labels.empty();
        int rc = labels ? readWhole(tape, buf) : skipBlock(tape, size, nullptr);
        if (rc == -2 && at >= size) break;
        if (rc < 0) throw readError(path, tape, at, rc);
        if (rc == 0) {
            if (first) return v;  // an empty first file: no VOL1 leads the volume
            if (isEndMark(tape, prevTm)) break;
            prevTm = true;
            files.emplace_back();
            continue;
        }
        prevTm = false;
        Label l;
        if (labels && f.blocks == f.labels.size() && parseLabel(buf.data(), rc, l)) {
            if (first && l.id != "VOL1") return v;
            f.labels.push_back(l);
        } else if (first) {
            return v;
        }
        first = false;
        ++f.blocks;
        f.bytes += static_cast<unsigned long long>(rc);
    }
    if (first) return v;
    if (files.back().blocks == 0) files.pop_back();  // after the last tapemark
    v.labelled = true;
    v.tapeFiles = static_cast<long long>(files.size());
    v.volser = files[0].labels[0].volser;
    v.owner = files[0].labels[0].owner;
    v.ebcdic = files[0].labels[0].ebcdic;
    interpret(files, v);
    return v;
}

const DataSet& findDataSet(const LabelledVolume& v, const std::string& path,
                           const std::string& dsn, long long number) {
    if (!v.labelled) throw ToolError(path, "is not a labelled volume (it has no VOL1 label)");
    std::string want = dsn;
    while (!want.empty() && want.back() == ' ') want.pop_back();
    for (char& c : want) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (size_t i = 0; i < v.sets.size(); ++i)
        if (dsn.empty() ? static_cast<long long>(i + 1) == number : v.sets[i].dsn == want)
            return v.sets[i];
    throw ToolError(path, dsn.empty() ? "has no data set " + std::to_string(number) + " (it holds " +
                                            std::to_string(v.sets.size()) + ")"
                                      : "has no data set named " + want);
}

}  // namespace orvtool
