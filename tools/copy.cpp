// copy.cpp - orvtape copy: every block and tapemark re-written into a new
// image, optionally with other transforms or segment size, then read back
// and compared with the source.
#include "orvtape.h"
#include "progress.h"
#include "safe_file.h"
#include "volume.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvtool {

namespace {

int wantedTransforms(int original, const Options& o) {
    int x = original;
    if (o.compress) x |= HF2_BZ2;
    if (o.noCompress) x &= ~HF2_BZ2;
    if (o.scramble) x |= HF2_SCRAMBLE;
    if (o.noScramble) x &= ~HF2_SCRAMBLE;
    return x;
}

// Reads both images block by block; throws at the first difference.
long long verify(ORVtape& src, const std::string& dstPath, std::vector<char>& a) {
    ORVtape dst;
    ImageLock unshared;  // the copy is still the tool's own file
    mountForReading(dst, dstPath, unshared);
    if (dst.validate(nullptr, nullptr, nullptr, nullptr) < 0)
        throw ToolError(dstPath, "the copy does not validate " + cause(dst));
    std::vector<char> b(a.size());
    src.rew();
    dst.rew();
    long long blocks = 0;
    for (;; ++blocks) {
        int ra = readWhole(src, a);
        int rb = readWhole(dst, b);
        if (ra == -2 && rb == -2) return blocks;
        if (ra != rb || (ra > 0 && std::memcmp(a.data(), b.data(), static_cast<size_t>(ra)) != 0))
            throw ToolError(dstPath, "block " + std::to_string(blocks) +
                                         " of the copy differs from the source");
    }
}

}  // namespace

int cmdCopy(const Options& o) {
    ORVtape src;
    ImageLock srcLock, dstLock;
    const long long size = mountSourceForNewFile(src, o, srcLock, dstLock);
    NewFile file(o.target, false);
    std::vector<char> buf(static_cast<size_t>(src.maxRecordSize));  // the one block buffer
    {
        ORVtape dst;
        mountForWriting(dst, file.path());
        dst.rew();
        dst.erase();  // start from an empty file, not the five tapemarks of a new image
        applyWriteSettings(dst, o);

        Progress progress("copy", static_cast<unsigned long long>(size), o.quiet);
        long long blocks = 0;
        bool warned = false;
        for (;; ++blocks) {
            src.getPosition();
            long long at = src.curPos;
            int xform = wantedTransforms(peekTransforms(src), o);
            int rc = readWhole(src, buf);
            if (rc == -2 && at >= size) break;
            if (rc < 0)
                throw ToolError("", std::string(readError(o.source, src, at, rc).what()) +
                                        "; try 'orvtape recover'");
            writeBlock(dst, o.target, buf.data(), static_cast<unsigned>(rc), rc ? xform : 0);
            warnAtCapacity(dst, o, o.target, "copying block " + std::to_string(blocks), warned);
            src.getPosition();
            progress.advance(static_cast<unsigned long long>(src.curPos - at));
        }
        progress.finish();
        errno = 0;
        if (dst.close() != 0) throw ToolError(o.target, "cannot close the image " + cause(dst));
    }
    long long checked = verify(src, file.path(), buf);
    file.commit();  // only a verified copy takes the target's place
    note(o, "%s: %lld blocks and tapemarks copied and verified", o.target.c_str(), checked);
    return kExitOk;
}

}  // namespace orvtool
