// get.cpp - orvtape get: one tape file or data set, as stored or as records.
#include "blocking.h"
#include "labelled.h"
#include "orvtape.h"
#include "progress.h"
#include "safe_file.h"
#include "volume.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace orvtool {

namespace {

bool writeFull(int fd, const char* p, size_t n) {
    while (n > 0) {
        errno = 0;
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;  // after a short write, the retry obtains the reason
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// What get extracts: the tape file, and how its blocks become output.
struct GetPlan {
    long long fileNo = -1;
    std::string out;
    RecordFormat format;
    bool unblock = false, convert = false;
    char blank = ' ';
};

GetPlan planGet(ORVtape& tape, long long size, const Options& o) {
    GetPlan g;
    const bool bySet = !o.dsName.empty() || o.dataSet > 0;
    if (!o.dsName.empty() && o.dataSet > 0)
        throw ToolError("", "--name and --dataset exclude each other", kExitUsage);
    if (bySet) {
        if (!o.out.empty())
            throw ToolError("", "with --name or --dataset, give OUT alone (no file number)", kExitUsage);
        g.out = o.fileArg;
    } else {
        if (o.fileArg.empty())
            throw ToolError("", "give a tape file number N, --name or --dataset", kExitUsage);
        char* end = nullptr;
        errno = 0;
        g.fileNo = std::strtoll(o.fileArg.c_str(), &end, 10);
        if (*end || end == o.fileArg.c_str() || errno || g.fileNo < 0 || g.fileNo > 0x7FFFFFFF)
            throw ToolError("", "the file number must be 0 to 2147483647", kExitUsage);
        g.out = o.out;
    }
    if (g.out.empty()) g.out = "-";
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
        LabelledVolume v = readLabels(tape, size, o.image);
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

}  // namespace

int cmdGet(const Options& o) {
    ORVtape tape;
    ImageLock lock;
    mountForReading(tape, o.image, lock);
    long long size = imageSize(tape);
    const GetPlan plan = planGet(tape, size, o);
    const long long fileNo = plan.fileNo;
    const std::string& out = plan.out;
    refuseSameFile(o.image, STDIN_FILENO, out, STDOUT_FILENO);
    refuseToReplace(out, o.force, true);
    tape.rew();
    int rc = skipFiles(tape, size, fileNo);
    if (rc == -2 && tape.getPosition() && tape.curPos >= size)
        throw ToolError(o.image, "has no tape file " + std::to_string(fileNo) +
                                     " (it holds " + std::to_string(tape.fileNumber) +
                                     " tapemarks)");
    if (rc < 0) {
        tape.getPosition();
        throw readError(o.image, tape, tape.curPos, rc);
    }

    NewFile file(out, true);
    const std::string shown = out == "-" ? "standard output" : out;
    std::vector<char> buf(static_cast<size_t>(tape.maxRecordSize));  // the one block buffer
    Progress progress("get", 0, o.quiet);
    Unblocker unblocker(plan.format, plan.convert, o.strip, o.ascii, plan.blank);
    std::string records;
    long long blockNo = 0;
    for (bool first = true;; first = false) {
        tape.getPosition();
        long long at = tape.curPos;
        rc = readWhole(tape, buf);
        if (rc == -2 && at >= size) {
            if (first) throw ToolError(o.image, "has no tape file " + std::to_string(fileNo));
            warn("%s: file %lld has no closing tapemark", o.image.c_str(), fileNo);
            break;
        }
        if (rc < 0) throw readError(o.image, tape, at, rc);
        if (rc == 0) {
            if (first && isEndMark(tape, true))
                throw ToolError(o.image, "has no tape file " + std::to_string(fileNo) +
                                             " (it holds " + std::to_string(fileNo) + " files)");
            break;
        }
        const char* data = buf.data();
        size_t n = static_cast<size_t>(rc);
        if (plan.unblock) {
            records.clear();
            try {
                unblocker.block(data, n, blockNo, records);
            } catch (const ToolError& e) {
                throw ToolError(o.image, e.what());
            }
            data = records.data();
            n = records.size();
        }
        ++blockNo;
        if (!writeFull(file.fd(), data, n))
            throw ToolError(shown, "cannot write " + cause(0, errno ? errno : EIO));
        progress.advance(static_cast<unsigned long long>(rc));
    }
    progress.finish();
    file.commit();
    return kExitOk;
}

}  // namespace orvtool
