// get_all.cpp - orvtape get --all: every tape file of a volume into a
// folder, each under its data set's name or its number, then a manifest of
// their sizes and sums.  Each file is named only when complete, and the
// manifest only once all are, so that a failure leaves no manifest.
#include "base/console.h"
#include "base/files.h"
#include "base/io.h"
#include "base/progress.h"
#include "cmd/extract.h"
#include "cmd/get.h"
#include "cmd/source.h"
#include "labels/recfm.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

namespace {

using Json = nlohmann::ordered_json;

// Blocks into records, as get does for one file, with each data set's own
// record format where the labels give one.
class RecordShaper : public Shaper {
public:
    RecordShaper(const GetArgs& o, const LabelledVolume& v) : o_(o), v_(v) {
        if (!o.recfm.empty()) {
            if (!parseRecfm(o.recfm, given_))
                throw ToolError("", "--recfm must be U, F, FB, V, VB, VS or VBS", kExitUsage);
            given_.lrecl = o.lrecl;
            if (given_.recfm == 'F' && o.lrecl <= 0) throw ToolError("", "--recfm F needs --lrecl", kExitUsage);
        }
    }
    void begin(long long file) override {
        RecordFormat f = given_;
        if (o_.recfm.empty())
            for (const DataSet& d : v_.sets)
                if (d.dataFile == file && (d.recfm == 'F' || d.recfm == 'V' || d.recfm == 'U'))
                    f = RecordFormat{d.recfm, d.blockAttr, d.recordLength};
        // Records left in EBCDIC are padded with its blank.
        const bool ebcdic = o_.recfm.empty() && v_.labelled && v_.ebcdic && !o_.ascii;
        unblocker_.emplace(f, o_.ascii, o_.strip, o_.ascii, ebcdic ? static_cast<char>(0x40) : ' ');
        file_ = file;
    }
    void block(const Block& b, long long blockInFile, std::string& out) override {
        inFile([&] { unblocker_->block(reinterpret_cast<const char*>(b.data), b.length, blockInFile, out); });
    }
    void finish() override {
        inFile([&] { unblocker_->finish(); });
    }

private:
    template <class F>
    void inFile(F step) {
        try {
            step();
        } catch (const ToolError& e) {
            throw ToolError(o_.image, "file " + std::to_string(file_) + ": " + e.what());
        }
    }
    const GetArgs& o_;
    const LabelledVolume& v_;
    RecordFormat given_;
    std::optional<Unblocker> unblocker_;
    long long file_ = 0;
};

// A data set's name as a file name: no '/', no NUL, no leading '.', never
// one taken before (manifest.json included).
std::string uniqueName(std::string name, std::set<std::string>& taken) {
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    if (name.empty() || name == "..") name = "_";
    if (name[0] == '.') name[0] = '_';
    std::string unique = name;
    for (int k = 2; taken.count(unique); ++k) unique = name + "~" + std::to_string(k);
    taken.insert(unique);
    return unique;
}

std::string fileNumberName(long long file) {
    char s[24];
    std::snprintf(s, sizeof s, "file%04lld", file);
    return s;
}

void makeFolder(const std::string& dir) {
    struct stat st;
    if (mkdir(dir.c_str(), 0777) != 0 && !(errno == EEXIST && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
        throw ToolError(dir, "cannot make the folder " + cause(0, errno == EEXIST ? ENOTDIR : errno), kExitUsage);
}

Json manifestEntry(const FileSum& s) {
    Json j{{"file", s.file}};
    if (!s.name.empty()) j["name"] = s.name;
    j.update(Json{{"path", s.path}, {"bytes", s.bytes}, {"blocks", s.blocks}, {"minBlock", s.minBlock},
                  {"maxBlock", s.maxBlock}, {"sha256", s.sha256}, {"badRecords", s.badRecords}});
    return j;
}

// Writes text to path, named only when complete.
void writeNew(const std::string& path, const std::string& text, bool force) {
    refuseToReplace(path, force, false);
    NewFile file(path, false, force);
    OutputFile out(file.fd(), path);
    out.write(text.data(), text.size());
    out.flush();
    file.commit();
}

}  // namespace

namespace {

// Every file of volume into o.all; written: the files this run named, which
// it may replace when it reads the volume again.
int getAll(const Source& volume, const GetArgs& o, std::set<std::string>& written) {
    const LabelledVolume labels = volume.labels();
    const bool records = o.unblock || o.ascii || o.strip;
    std::optional<RecordShaper> shaper;
    if (records) shaper.emplace(o, labels);
    makeFolder(o.all);
    const std::string manifestPath = o.all + "/manifest.json";
    refuseToReplace(manifestPath, o.force, false);  // before any file is written

    std::set<std::string> taken{"manifest.json"};
    Json files = Json::array();
    Progress progress("get", 0, o.quiet);  // bytes written, which decoding and unblocking make unlike the image's
    auto source = volume.blocks();
    TapeFiles tapeFiles(*source);
    while (tapeFiles.next()) {
        std::string dsn;
        for (const DataSet& d : labels.sets)
            if (labels.labelled && d.dataFile == tapeFiles.number()) dsn = d.dsn;
        const std::string name = uniqueName(dsn.empty() ? fileNumberName(tapeFiles.number()) : dsn, taken);
        const std::string path = o.all + "/" + name;
        refuseSameFile(o.image, STDIN_FILENO, path, STDOUT_FILENO);
        const bool replaces = o.force || written.count(path);
        refuseToReplace(path, replaces, false);
        NewFile file(path, false, replaces);
        OutputFile out(file.fd(), path, 16u << 10);
        FileSum sum = sumFile(tapeFiles, shaper ? &*shaper : nullptr, [&](const void* p, std::size_t n) {
            out.write(p, n);
            progress.advance(n);
        });
        out.flush();
        file.commit();
        written.insert(path);
        if (!sum.closed) warn("%s: file %lld has no closing tapemark", o.image.c_str(), sum.file);
        sum.name = dsn;
        sum.path = name;
        files.push_back(manifestEntry(sum));
    }
    progress.finish();
    Json manifest{{"image", o.image}, {"content", records ? "records" : "stored"}, {"files", files}};
    makeJsonSafe(manifest);
    writeNew(manifestPath, manifest.dump(2) + "\n", o.force);
    note(o, "%s: %zu files and manifest.json written", o.all.c_str(), files.size());
    return kExitOk;
}

}  // namespace

int cmdGetAll(const GetArgs& o) {
    if (!o.fileArg.empty() || !o.out.empty() || !o.dsName.empty() || o.dataSet > 0)
        throw ToolError("", "--all takes no N, OUT, --name or --dataset", kExitUsage);
    Source volume = openSource(o.image, o.from, o);
    std::set<std::string> written;
    return readingAgain(volume, [&] { return getAll(volume, o, written); });
}

}  // namespace orvtool
