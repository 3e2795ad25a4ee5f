// get.cpp - orvtape get: one tape file or data set, as stored or as records.
#include "base/io.h"
#include "base/progress.h"
#include "image/decode.h"
#include "image/labels.h"
#include "base/console.h"
#include "base/files.h"
#include "cmd/command.h"
#include "cmd/source.h"
#include "cmd/get.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <unistd.h>

namespace orvtool {

namespace {

// What get extracts: the tape file, and how its blocks become output.
struct GetPlan {
    long long fileNo = -1;
    std::string out;
    RecordFormat format;
    bool unblock = false, convert = false;
    char blank = ' ';
};

// Where the output goes: OUT, which follows N only when a tape file is
// named by its number.
std::string outputOf(const GetArgs& o) {
    const std::string out = o.record >= 0 || !o.dsName.empty() || o.dataSet > 0 ? o.fileArg : o.out;
    return out.empty() ? "-" : out;
}

GetPlan planGet(const Source& source, const GetArgs& o) {
    GetPlan g;
    const bool bySet = !o.dsName.empty() || o.dataSet > 0;
    if (!o.dsName.empty() && o.dataSet > 0)
        throw ToolError("", "--name and --dataset exclude each other", kExitUsage);
    if (bySet) {
        if (!o.out.empty())
            throw ToolError("", "with --name or --dataset, give OUT alone (no file number)", kExitUsage);
    } else {
        if (o.fileArg.empty())
            throw ToolError("", "give a tape file number N, --name or --dataset", kExitUsage);
        char* end = nullptr;
        errno = 0;
        g.fileNo = std::strtoll(o.fileArg.c_str(), &end, 10);
        if (*end || end == o.fileArg.c_str() || errno || g.fileNo < 0 || g.fileNo > 0x7FFFFFFF)
            throw ToolError("", "the file number must be 0 to 2147483647", kExitUsage);
    }
    g.out = outputOf(o);
    g.unblock = o.unblock || o.ascii || o.strip;
    if (!o.recfm.empty()) {
        if (!parseRecfm(o.recfm, g.format))
            throw ToolError("", "--recfm must be U, F, FB, V, VB, VS or VBS", kExitUsage);
        g.format.lrecl = o.lrecl;
        if (g.format.recfm == 'F' && o.lrecl <= 0)
            throw ToolError("", "--recfm F needs --lrecl", kExitUsage);
    }
    bool ebcdic = false;  // the code of the labels, taken for the data's when they stay
    if (bySet || (g.unblock && o.recfm.empty())) {
        LabelledVolume v = source.labels();
        const DataSet* d = nullptr;
        if (bySet) {
            d = &findDataSet(v, o.image, o.dsName, o.dataSet);
            if (d->dataFile < 0) throw ToolError(o.image, "data set " + d->dsn + " has no data");
            g.fileNo = d->dataFile;
        }
        for (const DataSet& s : v.sets)
            if (s.dataFile == g.fileNo) d = &s;
        if (v.labelled) ebcdic = v.ebcdic;
        if (d && o.recfm.empty() && (d->recfm == 'F' || d->recfm == 'V' || d->recfm == 'U')) {
            g.format.recfm = d->recfm;
            g.format.attr = d->blockAttr;
            g.format.lrecl = d->recordLength;
        }
    }
    g.convert = o.ascii;
    g.blank = ebcdic && !o.ascii ? static_cast<char>(0x40) : ' ';
    return g;
}

// Goes to the first block of tape file fileNo, passing blocks as spacing does.
void toFile(BlockSource& blocks, long long fileNo, const std::string& path) {
    for (long long passed = 0; passed < fileNo;) {
        Block b;
        if (!blocks.next(b))
            throw ToolError(path, "has no tape file " + std::to_string(fileNo) + " (it holds " +
                                      std::to_string(passed) + " tapemarks)");
        if (b.kind == Kind::Mark) ++passed;
    }
}

// The output file, its progress and its commit around what writes to it.
void writeOut(const GetArgs& o, const std::string& out, const std::function<void(OutputFile&, Progress&)>& write) {
    NewFile file(out, true, o.force);
    // Gathered into large writes (a card file is a quarter million blocks);
    // a large block is written as it is, as copying it costs more than its write.
    OutputFile output(file.fd(), out == "-" ? "standard output" : out, 16u << 10);
    Progress progress("get", 0, o.quiet);
    try {
        write(output, progress);
    } catch (...) {
        output.flush();  // what came before the failure, as a block-by-block write would leave it
        throw;
    }
    output.flush();
    progress.finish();
    file.commit();
}

// --record K: the bytes of block K, of any class; only a block without
// bytes (a tapemark, a gap, a marker) is refused.
int getRecord(const Source& source, const GetArgs& o) {
    if (!o.fileArg.empty() && !o.out.empty())
        throw ToolError("", "with --record, give OUT alone (no file number)", kExitUsage);
    const std::string out = outputOf(o);
    refuseSameFile(o.image, STDIN_FILENO, out, STDOUT_FILENO);
    refuseToReplace(out, o.force, true);
    Block b;
    std::unique_ptr<BlockWalk> walk;  // whichever reads it holds the bytes b shows
    std::unique_ptr<ForeignFile> file;
    if (source.image) {
        walk = std::make_unique<BlockWalk>(*source.image, ReadMode::Pass);
        blockAt(*walk, o.record, b, o.image);
    } else {
        file = source.open();
        entryAt(*file, o.record, b, o.image);
    }
    if (b.kind != Kind::Data)
        throw ToolError(o.image, "block " + std::to_string(o.record) + " is a " +
                                     (b.kind == Kind::Mark ? "tapemark" : entryClass(b)) + ": it holds no bytes");
    writeOut(o, out, [&](OutputFile& output, Progress&) { output.write(b.data, b.length); });
    return kExitOk;
}

}  // namespace

namespace {

// The blocks of tape file plan.fileNo from blocks, positioned at its first
// block; endsVolume(b) tells whether a tapemark met first is the volume's end.
void extract(BlockSource& blocks, const std::function<bool(const Block&)>& endsVolume, const GetPlan& plan,
             const GetArgs& o) {
    const long long fileNo = plan.fileNo;
    writeOut(o, plan.out, [&](OutputFile& output, Progress& progress) {
        Unblocker unblocker(plan.format, plan.convert, o.strip, o.ascii, plan.blank);
        std::string records;
        long long blockNo = 0;
        Block b;
        bool closed = false;  // the file's tapemark was read: nothing after it is
        auto unblock = [&](const std::function<void()>& step) {
            try {
                step();
            } catch (const ToolError& e) {
                throw ToolError(o.image, e.what());
            }
        };
        while (!closed && blocks.next(b)) {
            closed = b.kind == Kind::Mark;
            if (closed && blockNo == 0 && endsVolume(b))
                throw ToolError(o.image, "has no tape file " + std::to_string(fileNo) + " (it holds " +
                                             std::to_string(fileNo) + (fileNo == 1 ? " file)" : " files)"));
            if (closed) break;
            const char* data = reinterpret_cast<const char*>(b.data);
            size_t n = static_cast<size_t>(b.length);
            if (plan.unblock) {
                records.clear();
                unblock([&] { unblocker.block(data, n, blockNo, records); });
                data = records.data();
                n = records.size();
            }
            ++blockNo;
            output.write(data, n);
            progress.advance(static_cast<unsigned long long>(b.length));
        }
        if (plan.unblock) unblock([&] { unblocker.finish(); });
        if (closed) return;
        output.flush();
        if (blockNo == 0) throw ToolError(o.image, "has no tape file " + std::to_string(fileNo));
        warn("%s: file %lld has no closing tapemark", o.image.c_str(), fileNo);
    });
}

}  // namespace

namespace {

void getFile(const Source& source, const GetArgs& o) {
    const GetPlan plan = planGet(source, o);
    refuseSameFile(o.image, STDIN_FILENO, plan.out, STDOUT_FILENO);
    refuseToReplace(plan.out, o.force, true);
    if (!source.image) {
        const auto file = source.open();
        ImportedBlocks kept(*file);
        toFile(kept, plan.fileNo, o.image);
        // Nothing an import keeps after it: the tapemark is the end mark.
        return extract(kept, [&](const Block&) { Block after; return !kept.next(after); }, plan, o);
    }
    const Volume& volume = *source.image;
    const long long size = volume.size();
    BlockWalk walk(volume, ReadMode::Pass);
    toFile(walk, plan.fileNo, o.image);
    walk.setMode(ReadMode::Stored);
    ParallelDecode decoded(walk, o.jobs, o);
    // A tapemark is one 6-byte header: this one ends the image.
    extract(decoded, [&](const Block& b) { return b.offset + 6 >= size; }, plan, o);
}

}  // namespace

int cmdGet(const GetArgs& o) {
    if (!o.all.empty()) return cmdGetAll(o);
    Source source = openSource(o.image, o.from, o);
    auto get = [&] { return o.record >= 0 ? getRecord(source, o) : (getFile(source, o), kExitOk); };
    if (!source.image) return get();
    try {
        return get();
    } catch (const ReadError&) {
        // A file in another format is read again as what it is, unless
        // standard output has part of it already (a file is named only when complete).
        if (outputOf(o) == "-" || !source.foreignAfterAll()) throw;
    }
    return get();
}

namespace {
Runner declareGet(CLI::App& c) {
    auto a = std::make_shared<GetArgs>();
    c.add_option("IMAGE", a->image, "the image file")->required();
    c.add_option("--all", a->all, "every tape file into DIR, with manifest.json (no N, OUT)")->type_name("DIR");
    c.add_option("N", a->fileArg, "tape file number, 0 for the first (none with --name, --dataset)");
    c.add_option("OUT", a->out, "output file; - or none for standard output");
    c.add_flag("-f,--force", a->force, "replace a non-empty OUT");
    c.add_option("--name", a->dsName, "the data set of this name on a labelled volume");
    c.add_option("--dataset", a->dataSet, "data set K (from 1) of a labelled volume")
        ->check(CLI::Range(1ll, 0x7FFFFFFFll));
    c.add_flag("--unblock", a->unblock, "the records of the blocks, without descriptor words");
    c.add_flag("--ascii", a->ascii, "EBCDIC to ASCII, one record a line (implies --unblock)");
    c.add_flag("--strip", a->strip, "remove trailing blanks of records (implies --unblock)");
    c.add_option("--recfm", a->recfm, "record format when there are no labels: U, F, FB, V, VB, VBS");
    c.add_option("--lrecl", a->lrecl, "record length of F and FB")->check(CLI::Range(1, 32760));
    c.add_option("--record", a->record, "the bytes of block K as 'ls --blocks' numbers it, whatever its class")
        ->check(CLI::Range(0ll, 0x7FFFFFFFll));
    declareFrom(c, a->from);
    return runWith(a, cmdGet);
}
}  // namespace
extern const Command getCommand{"get", "extract tape file N (from 0) or a data set to OUT or standard output",
                                declareGet};

}  // namespace orvtool
