// labelled.cpp - reading a volume as data sets: HDR labels, data, EOF labels,
// each group in a tape file of its own.
#include "labelled.h"
#include "image/walk.h"

#include <cctype>

namespace orvtool {

namespace {

// One tape file: its first labels while every block of it is one, and its size.
struct TapeFile {
    static constexpr size_t kKept = 9;  // a group holds no more that are read
    std::vector<Label> labels;
    bool allLabels = true;
    unsigned long long blocks = 0, bytes = 0;
};

std::string name(size_t n, const DataSet& d) {
    return "data set " + std::to_string(n) + " (" + (d.dsn.empty() ? "no name" : d.dsn) + ")";
}

// Reads the tape files of a labelled volume in order, each for the part the
// labelled layout gives it: header labels, then data, then trailer labels.
// Only a file in a place of labels is looked into; data is only counted,
// whatever it holds.
class LayoutReader {
public:
    explicit LayoutReader(LabelledVolume& v) : v_(v) {}

    // Whether the next block, n bytes long, may be a label and must be read.
    bool wants(int n) const { return role_ != Role::Data && file_.allLabels && n == kLabelBytes; }

    // A block of n bytes; label, when it was read and is one.
    void block(int n, const Label* label) {
        if (!label) file_.allLabels = false;
        else if (file_.allLabels && file_.labels.size() < TapeFile::kKept) file_.labels.push_back(*label);
        ++file_.blocks;
        file_.bytes += static_cast<unsigned long long>(n);
    }

    void closeFile() {
        place(file_);
        file_ = TapeFile{};
        ++number_;
    }

    // The end of the data: a file not closed by a tapemark still counts, and
    // a data set still open lacks what should have followed.
    void finish() {
        if (file_.blocks > 0) closeFile();
        if (role_ == Role::Header) return;
        v_.warnings.push_back(name(v_.sets.size() + 1, set_) + (role_ == Role::Data
                                                                    ? ": header labels without data"
                                                                    : ": no EOF labels after its data"));
        v_.sets.push_back(set_);
    }

private:
    enum class Role { Header, Data, Trailer };

    static const Label* leading(const TapeFile& f, const char* id) {
        return f.allLabels && !f.labels.empty() && f.labels[0].id == id ? &f.labels[0] : nullptr;
    }

    void place(const TapeFile& f) {
        switch (role_) {
        case Role::Header: return header(f);
        case Role::Data:
            set_.dataFile = number_;
            set_.blocks = f.blocks;
            set_.bytes = f.bytes;
            role_ = Role::Trailer;
            return;
        case Role::Trailer: return trailer(f);
        }
    }

    void header(const TapeFile& f) {
        const Label* h1 = leading(f, "HDR1");
        if (!h1) {
            v_.warnings.push_back("tape file " + std::to_string(number_) +
                                  (f.allLabels && !f.labels.empty()
                                       ? ": labels without a data set (" + f.labels[0].id + ")"
                                       : ": data without header labels"));
            return;
        }
        set_ = DataSet{};
        set_.fileSeq = h1->fileSeq;
        set_.dsn = h1->dsn;
        set_.created = labelDate(h1->created);
        for (const Label& h2 : f.labels)
            if (h2.id == "HDR2") {
                set_.recfm = h2.recfm;
                set_.blockAttr = h2.blockAttr;
                set_.blockSize = h2.blockSize;
                set_.recordLength = h2.recordLength;
                break;
            }
        role_ = Role::Data;
    }

    void trailer(const TapeFile& f) {
        const size_t n = v_.sets.size() + 1;
        const Label* e1 = leading(f, "EOF1");
        if (!e1) e1 = leading(f, "EOV1");
        role_ = Role::Header;
        if (!e1) {
            // Not a trailer: the data set ends here, and this file is read
            // for the headers of the next.
            v_.warnings.push_back(name(n, set_) + ": no EOF labels after its data");
            v_.sets.push_back(set_);
            return header(f);
        }
        if (e1->blockCount < 0)
            v_.warnings.push_back(name(n, set_) + ": the " + e1->id + " block count is not a number");
        else if (static_cast<unsigned long long>(e1->blockCount) != set_.blocks % e1->blockCountModulus)
            v_.warnings.push_back(name(n, set_) + ": " + e1->id + " counts " + std::to_string(e1->blockCount) +
                                  " blocks, the data holds " + std::to_string(set_.blocks));
        v_.sets.push_back(set_);
    }

    LabelledVolume& v_;
    Role role_ = Role::Header;
    TapeFile file_;
    long long number_ = 0;  // of the file being read
    DataSet set_;           // the data set whose header was read last
};

// The label that the block the walk met last is; false when it is none.
bool labelAt(BlockWalk& walk, std::vector<unsigned char>& buf, Label& l) {
    return walk.reread(buf) > 0 && parseLabel(reinterpret_cast<const char*>(buf.data()), buf.size(), l);
}

// The first tape file of a labelled volume: VOL1 (and further volume
// labels), HDR1, more labels and nothing else, closed by a tapemark.  On a
// volume that does not begin so, false with the walk somewhere in its first file.
bool readVolumeHeader(BlockWalk& walk, LabelledVolume& v, LayoutReader& layout) {
    std::vector<unsigned char> buf;
    Block b;
    bool headers = false;  // HDR1 was met: the header labels of data set 1 go on
    for (long long at = 0; walk.next(b); ++at) {
        const int n = static_cast<int>(b.length);
        if (n == 0) {
            layout.closeFile();
            return headers;
        }
        Label l;
        if (!layout.wants(n) || !labelAt(walk, buf, l) || (at == 0) != (l.id == "VOL1")) return false;
        const bool volumeLabel = l.id.compare(0, 3, "VOL") == 0 || l.id.compare(0, 3, "UVL") == 0;
        if (!headers && !volumeLabel && l.id != "HDR1") return false;
        headers = headers || !volumeLabel;
        if (at == 0) {
            v.volser = l.volser;
            v.owner = l.owner;
            v.ebcdic = l.ebcdic;
        } else if (headers) {
            layout.block(n, &l);
        }
    }
    return false;
}

}  // namespace

LabelledVolume readLabels(BlockWalk& walk) {
    LabelledVolume v;
    LayoutReader layout(v);
    walk.rewind();
    walk.setMode(ReadMode::Pass);
    if (!readVolumeHeader(walk, v, layout)) return LabelledVolume{};
    v.labelled = true;
    std::vector<unsigned char> buf;
    Block b;
    for (Step s; (s = walk.step(b)) != Step::EndOfData && s != Step::EndMark;) {
        const int n = static_cast<int>(b.length);
        Label l;
        if (n == 0) layout.closeFile();
        else layout.block(n, layout.wants(n) && labelAt(walk, buf, l) ? &l : nullptr);
    }
    layout.finish();
    return v;
}

LabelledVolume readLabels(const Volume& volume) {
    BlockWalk walk(volume, ReadMode::Pass);
    return readLabels(walk);
}

const DataSet& findDataSet(const LabelledVolume& v, const std::string& path,
                           const std::string& dsn, long long number) {
    if (!v.labelled)
        throw ToolError(path, "is not a labelled volume (it does not begin with VOL1 and HDR1 labels)");
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
