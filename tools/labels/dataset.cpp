// dataset.cpp - the labelled layout: reading a volume as data sets (HDR
// labels, data, EOF labels, each group in a tape file of its own), and
// writing data sets in it.
#include "dataset.h"

#include "../base/error.h"

#include <map>

#include <cctype>
#include <utility>

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
    bool wants(std::size_t n) const { return role_ != Role::Data && file_.allLabels && n == kLabelBytes; }

    // A block of n bytes; label, when it was read and is one.
    void block(std::size_t n, const Label* label) {
        if (!label) file_.allLabels = false;
        else if (file_.allLabels && file_.labels.size() < TapeFile::kKept) file_.labels.push_back(*label);
        ++file_.blocks;
        file_.bytes += n;
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

    // The HDR1 of a volume initialised for scratch: its identifier all zeros.
    static bool dummy(const Label& h1) { return !h1.dsn.empty() && h1.dsn.find_first_not_of('0') == std::string::npos; }

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
        v_.scratch = false;  // a file after the dummy label: written after all
        const Label* h1 = leading(f, "HDR1");
        if (!h1) {
            v_.warnings.push_back("tape file " + std::to_string(number_) +
                                  (f.allLabels && !f.labels.empty()
                                       ? ": labels without a data set (" + f.labels[0].id + ")"
                                       : ": data without header labels"));
            return;
        }
        if (dummy(*h1)) {
            v_.scratch = v_.sets.empty();
            return;  // names no data set: what follows is the volume's end
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

}  // namespace

// The first tape file of a labelled volume is VOL1 (and further volume
// labels), HDR1, more labels and nothing else, closed by a tapemark; the
// layout reader takes over from there.
class LabelScanner::Layout {
public:
    bool wants(std::size_t n) const { return reader_.wants(n); }

    bool put(const Block& b) {
        if (b.kind == Kind::Gap || b.kind == Kind::EndOfMedium) return true;  // no block of the layout
        if (!v_.labelled) return header(b);
        if (pendingMark_) {  // a mark after a mark with more to come closes an empty file
            pendingMark_ = false;
            reader_.closeFile();
        }
        if (b.kind == Kind::Mark) {
            if (prevMark_) pendingMark_ = true;
            else reader_.closeFile();
            prevMark_ = true;
            return true;
        }
        prevMark_ = false;
        Label l;
        reader_.block(b.length, wants(b.length) && asLabel(b, l) ? &l : nullptr);
        return true;
    }

    LabelledVolume finish() {
        if (!v_.labelled) return LabelledVolume{};
        reader_.finish();  // a mark still pending is the end-of-volume mark
        return std::move(v_);
    }

private:
    static bool asLabel(const Block& b, Label& l) {
        return b.data && parseLabel(reinterpret_cast<const char*>(b.data), b.length, l);
    }

    // A block of the first file; false once the volume is not labelled.
    bool header(const Block& b) {
        if (b.kind == Kind::Mark) {
            reader_.closeFile();
            return v_.labelled = headers_;
        }
        Label l;
        if (!wants(b.length) || !asLabel(b, l) || (at_ == 0) != (l.id == "VOL1"))
            return false;
        const bool volumeLabel = l.id.compare(0, 3, "VOL") == 0 || l.id.compare(0, 3, "UVL") == 0;
        if (!headers_ && !volumeLabel && l.id != "HDR1") return false;
        headers_ = headers_ || !volumeLabel;
        if (at_++ == 0) {
            v_.volser = l.volser;
            v_.owner = l.owner;
            v_.ebcdic = l.ebcdic;
        } else if (headers_) {
            reader_.block(b.length, &l);
        }
        return true;
    }

    LabelledVolume v_;
    LayoutReader reader_{v_};
    long long at_ = 0;       // blocks of the first file so far
    bool headers_ = false;   // HDR1 was met: the header labels of data set 1 go on
    bool prevMark_ = true;   // the first file ended in a mark
    bool pendingMark_ = false;  // a mark after a mark: the end mark if nothing follows
};

LabelScanner::LabelScanner() : layout_(new Layout) {}
LabelScanner::~LabelScanner() = default;
bool LabelScanner::wants(std::size_t length) const { return layout_->wants(length); }
bool LabelScanner::put(const Block& b) { return layout_->put(b); }
LabelledVolume LabelScanner::finish() { return layout_->finish(); }

LabelledVolume LabelScanner::scan(BlockSource& source) {
    Block b;
    while (source.next(b) && put(b)) {}
    return finish();
}

LabelledVolume readLabels(BlockSource& source) { return LabelScanner().scan(source); }

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

void LabelledWriter::label(const std::string& block) {
    Block b;
    b.data = reinterpret_cast<const unsigned char*>(block.data());
    b.length = block.size();
    b.isLabel = true;
    out_.put(b);
}

void LabelledWriter::mark(bool inLabels) {
    Block b;
    b.kind = Kind::Mark;
    b.isLabel = inLabels;
    out_.put(b);
}

void LabelledWriter::begin(const std::string& dsn, const RecordFormat& f, unsigned long long blockLength,
                           const std::string& created) {
    dsn_ = dsn;
    created_ = created;
    format_ = f;
    blockLength_ = blockLength;
    count_ = 0;
    if (!plan_.on) return;
    if (plan_.needVol1) label(buildVol1(plan_.volser, "", plan_.ansi));
    plan_.needVol1 = false;
    label(buildLabel1("HDR", dsn_, plan_.volser, plan_.seq, created_, 0, plan_.ansi));
    label(buildLabel2("HDR", format_.recfm, static_cast<long long>(blockLength_), format_.lrecl, format_.attr,
                      plan_.ansi));
    mark(true);
}

void LabelledWriter::put(const Block& b) {
    out_.put(b);
    ++count_;
}

void LabelledWriter::end() {
    if (!plan_.on) return mark(false);
    mark(true);
    label(buildLabel1("EOF", dsn_, plan_.volser, plan_.seq, created_, count_, plan_.ansi));
    label(buildLabel2("EOF", format_.recfm, static_cast<long long>(blockLength_), format_.lrecl, format_.attr,
                      plan_.ansi));
    mark(false);
    ++plan_.seq;
}

bool recordFault(BlockSource& blocks, const LabelledVolume& v, long long& offset, std::string& message) {
    std::map<long long, size_t> sets;  // tape file of the data -> its data set
    for (size_t i = 0; i < v.sets.size(); ++i)
        if (v.sets[i].recfm == 'V' && v.sets[i].dataFile >= 0) sets[v.sets[i].dataFile] = i;
    if (sets.empty()) return false;
    std::unique_ptr<Unblocker> records;
    long long file = 0, blockNo = 0;
    std::string scratch;
    for (;;) {
        Block b;
        try {
            if (!blocks.next(b)) return false;
        } catch (const ToolError&) {
            return false;
        }
        auto it = sets.find(file);
        if (b.kind == Kind::Mark) ++file;
        if (it == sets.end()) continue;
        const DataSet& s = v.sets[it->second];
        if (!records) records = std::make_unique<Unblocker>(RecordFormat{'V', s.blockAttr, s.recordLength}, false,
                                                            false, false, ' ');
        try {
            scratch.clear();
            if (b.kind == Kind::Mark) records->finish();
            else records->block(reinterpret_cast<const char*>(b.data), b.length, blockNo++, scratch);
        } catch (const ToolError& e) {
            offset = b.offset;
            message = "data set " + std::to_string(it->second + 1) + " (" + s.dsn + "): " + e.what();
            return true;
        }
        if (b.kind == Kind::Mark) {
            records.reset();
            blockNo = 0;
        }
    }
}

}  // namespace orvtool
