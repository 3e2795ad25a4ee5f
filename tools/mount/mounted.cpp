// mounted.cpp - opening, listing and indexing a volume for its mount, and
// reading its blocks again one at a time.
#include "mount/mounted.h"

#include "base/console.h"
#include "cmd/facts.h"
#include "cmd/reports.h"
#include "image/walk.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace orvtool {

namespace {

std::size_t readAt(const Volume& volume, long long offset, char* to, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(volume.fd(), to + got, n - got, offset + static_cast<long long>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw ToolError(volume.name(), "cannot be read " + cause(0, errno));
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

// An image's blocks, each read again from its offset by a walk of the
// library's reader; a walk is lent to one thread at a time, so that
// readers decode in parallel.
class ImageDecoder : public BlockDecoder {
public:
    explicit ImageDecoder(const Volume& volume) : volume_(volume) {}

    void decode(const IndexedBlock& at, Bytes& out) const override {
        std::unique_ptr<BlockWalk> walk = borrow();
        walk->seek(at.offset);
        Block b;
        try {
            if (walk->step(b) != Step::Block)
                throw ToolError(volume_.name(), "holds no data block at offset " + std::to_string(at.offset));
        } catch (...) {
            giveBack(std::move(walk));
            throw;
        }
        out.assign(b.data, b.data + b.length);
        giveBack(std::move(walk));
    }

    // A plain block of one segment: its payload right after its header.
    long long inPlace(const IndexedBlock& b, unsigned long long length) const override {
        return b.plain && b.span == length + 6 ? b.offset + 6 : -1;
    }
    std::size_t bytesAt(long long offset, char* to, std::size_t n) const override {
        return readAt(volume_, offset, to, n);
    }

private:
    std::unique_ptr<BlockWalk> borrow() const {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!idle_.empty()) {
                std::unique_ptr<BlockWalk> w = std::move(idle_.back());
                idle_.pop_back();
                return w;
            }
        }
        return std::make_unique<BlockWalk>(volume_, ReadMode::Decoded);
    }
    void giveBack(std::unique_ptr<BlockWalk> w) const {
        std::lock_guard<std::mutex> hold(lock_);
        idle_.push_back(std::move(w));
    }

    const Volume& volume_;
    mutable std::mutex lock_;
    mutable std::vector<std::unique_ptr<BlockWalk>> idle_;
};

// A foreign file's block, read alone: its bytes given to a reader of its
// format as a file of their own.
class ForeignDecoder : public BlockDecoder {
public:
    ForeignDecoder(const Volume& volume, const Format& format, const Common& run)
        : volume_(volume), format_(format), chained_(std::strcmp(format.name, "aws") == 0 ||
                                                     std::strcmp(format.name, "het") == 0) {
        args_.maxBlock = static_cast<std::size_t>(run.maxBlock);
    }

    void decode(const IndexedBlock& at, Bytes& out) const override {
        Bytes stored(at.span);
        if (readAt(volume_, at.offset, reinterpret_cast<char*>(stored.data()), stored.size()) != stored.size())
            throw ToolError(volume_.name(), "ends inside the block at offset " + std::to_string(at.offset));
        // Each chunk header names the length of the chunk before it, which
        // was checked when the file was indexed; alone, the block has none.
        if (chained_ && stored.size() >= 4) stored[2] = stored[3] = 0;
        InputFile in(volume_.name(), stored.data(), stored.size());
        const std::unique_ptr<BlockSource> reader = format_.reader(in, args_);
        Block b;
        if (!reader->next(b) || b.kind != Kind::Data)
            throw ToolError(volume_.name(), "holds no data block at offset " + std::to_string(at.offset));
        out.assign(b.data, b.data + b.length);
    }

    // A plain block in one piece: a record between its length words (tap,
    // e11), after its length (tpc), or a block of one chunk (aws, het).
    long long inPlace(const IndexedBlock& b, unsigned long long length) const override {
        if (!b.plain) return -1;
        const unsigned long long span = b.span, even = length + (length & 1);
        const std::string name = format_.name;
        if ((name == "tap" && span == even + 8) || (name == "e11" && span == length + 8)) return b.offset + 4;
        if (name == "tpc" && span == even + 2) return b.offset + 2;
        if (chained_ && span == length + 6) return b.offset + 6;
        return -1;
    }
    std::size_t bytesAt(long long offset, char* to, std::size_t n) const override {
        return readAt(volume_, offset, to, n);
    }

private:
    const Volume& volume_;
    const Format& format_;
    bool chained_;
    FormatArgs args_;
};

std::string jsonText(const Survey& s) {
    nlohmann::ordered_json j = renderJson(s, false);
    makeJsonSafe(j);
    return j.dump(2) + "\n";
}

}  // namespace

std::string Mounted::changed() const {
    struct stat now;
    if (fstat(volume().fd(), &now) != 0) return volume().name() + ": cannot be looked at any more";
    if (now.st_size != opened.st_size || now.st_mtim.tv_sec != opened.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != opened.st_mtim.tv_nsec)
        return volume().name() + ": the image changed since it was mounted; unmount and mount it again";
    return "";
}

std::unique_ptr<Mounted> openMounted(const std::string& path, const std::string& from, const Common& run) {
    auto m = std::make_unique<Mounted>();
    m->source = openSource(path, from, run);
    if (m->source.image) {
        fstat(m->source.image->fd(), &m->opened);
        // As ls lists it: labels, then the files.
        BlockWalk walk(*m->source.image, ReadMode::Pass);
        m->survey = surveyLabels(walk, path);
        surveyBlocks(walk, false, m->survey);
        // A file in another format is not a damaged image.
        if (!m->survey.failure.empty() && m->source.foreignAfterAll()) m->survey = Survey{};
    }
    if (!m->source.image) {
        // The reader opens the file by name; the lock is held on a descriptor of its own.
        m->held = std::make_unique<Volume>(Volume::forReading(path, Limits{run.maxBlock, run.wait}));
        fstat(m->held->fd(), &m->opened);
        m->survey = surveyForeign(*m->source.open(), path, false).survey;
        m->decoder = std::make_unique<ForeignDecoder>(*m->held, *m->source.format, run);
        const auto file = m->source.open();
        ImportedBlocks kept(*file);
        m->index = indexVolume(kept);
    } else {
        m->decoder = std::make_unique<ImageDecoder>(*m->source.image);
        BlockWalk walk(*m->source.image, ReadMode::Pass);
        m->index = indexVolume(walk);
    }
    m->json = jsonText(m->survey);
    return m;
}

}  // namespace orvtool
