// view.cpp - the mounted directory's names, sizes and reads.
#include "mount/view.h"

#include "base/error.h"
#include "labels/recfm.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace orvtool {

std::shared_ptr<const Bytes> BlockCache::find(unsigned long long key) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = map_.find(key);
    if (it == map_.end()) return nullptr;
    order_.splice(order_.begin(), order_, it->second.use);
    return it->second.bytes;
}

void BlockCache::add(unsigned long long key, std::shared_ptr<const Bytes> bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    if (map_.count(key)) return;  // another reader decoded it meanwhile
    held_ += bytes->size();
    order_.push_front(key);
    map_.emplace(key, Held{std::move(bytes), order_.begin()});
    // The newest block stays even alone over budget: its reader needs it next.
    while (held_ > budget_ && order_.size() > 1) {
        const auto last = map_.find(order_.back());
        held_ -= last->second.bytes->size();
        map_.erase(last);
        order_.pop_back();
    }
}

std::size_t BlockCache::held() const {
    std::lock_guard<std::mutex> hold(lock_);
    return held_;
}

bool readsAsText(const LabelledVolume& v, const DataSet& d) {
    return v.labelled && v.ebcdic && (d.recfm == 'F' || d.recfm == 'V') && d.blockAttr != 'S' &&
           d.blockAttr != 'R';
}

namespace {

// A name the directory can show: a data set's name may hold anything.
bool usable(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string fileName(std::size_t k, std::size_t files) {
    // Wide enough for the last number, so that ls sorts them in tape order.
    const std::size_t width = std::max<std::size_t>(4, std::to_string(files ? files - 1 : 0).size());
    const std::string digits = std::to_string(k);
    return "file" + std::string(width - digits.size(), '0') + digits;
}

}  // namespace

View::View(VolumeIndex index, const LabelledVolume& labels, std::string json, const BlockDecoder& decoder,
           std::size_t cacheBytes, std::function<void(const std::string&)> report, int jobs)
    : index_(std::move(index)), json_(std::move(json)), decoder_(decoder), cache_(cacheBytes),
      report_(std::move(report)), jobs_(jobs) {
    for (std::size_t k = 0; k < index_.files.size(); ++k)
        nodes_.push_back(Node{fileName(k, index_.files.size()), &index_.files[k], false, {}});
    nodes_.push_back(Node{"volume.json", nullptr, false, {}});
    addDataSets(labels);
    std::sort(nodes_.begin(), nodes_.end(), [](const Node& a, const Node& b) { return a.name < b.name; });
}

View::~View() {
    {
        std::lock_guard<std::mutex> hold(aheadLock_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void View::addDataSets(const LabelledVolume& labels) {
    std::set<std::string> taken;
    for (const Node& n : nodes_) taken.insert(n.name);
    auto named = [&](const DataSet& d) {
        std::string name = d.dsn;
        name.erase(name.find_last_not_of(' ') + 1);
        return name;
    };
    texts_.reserve(labels.sets.size());  // nodes point into it
    for (const DataSet& d : labels.sets) {
        const std::string name = named(d);
        if (!usable(name) || d.dataFile < 0 || static_cast<std::size_t>(d.dataFile) >= index_.files.size() ||
            !taken.insert(name).second)
            continue;
        const FileIndex& data = index_.files[static_cast<std::size_t>(d.dataFile)];
        nodes_.push_back(Node{name, &data, false, {}});
        if (!readsAsText(labels, d) || !taken.insert(name + ".txt").second) continue;
        // The text's length is known only from the records: each block is
        // converted once here, and again when read.
        Node text{name + ".txt", nullptr, true, RecordFormat{d.recfm, d.blockAttr, d.recordLength}};
        FileIndex t;
        Bytes raw, converted;
        for (std::size_t i = 0; i < data.blocks.size() && !t.damaged; ++i) {
            try {
                decoder_.decode(data.blocks[i], raw);
                textBlock(raw, text.format, static_cast<long long>(i), converted);
            } catch (const ToolError& e) {
                report_(name + ".txt: " + e.what());
                t.damaged = true;
                break;
            }
            if (converted.empty()) continue;
            t.blocks.push_back(IndexedBlock{data.blocks[i].offset, t.size, data.blocks[i].span});
            t.size += converted.size();
        }
        t.damaged = t.damaged || data.damaged;
        texts_.push_back(std::move(t));
        text.index = &texts_.back();
        nodes_.push_back(text);
    }
}

const Node* View::find(const std::string& name) const {
    const auto it = std::lower_bound(nodes_.begin(), nodes_.end(), name,
                                     [](const Node& n, const std::string& s) { return n.name < s; });
    return it != nodes_.end() && it->name == name ? &*it : nullptr;
}

void View::textBlock(const Bytes& raw, const RecordFormat& f, long long blockNo, Bytes& out) const {
    // As get --ascii: records in EBCDIC to ASCII, one a line.  Records that
    // do not span blocks make each block's text its own.
    Unblocker unblocker(f, true, false, true, ' ');
    std::string lines;
    unblocker.block(reinterpret_cast<const char*>(raw.data()), raw.size(), blockNo, lines);
    out.assign(lines.begin(), lines.end());
}

namespace {
unsigned long long keyOf(const Node& n, const IndexedBlock& b) {
    return static_cast<unsigned long long>(b.offset) * 2 + (n.text ? 1 : 0);
}
}  // namespace

std::shared_ptr<const Bytes> View::decodeBlock(const Node& n, std::size_t i) const {
    const IndexedBlock& b = n.index->blocks[i];
    auto bytes = std::make_shared<Bytes>();
    decoder_.decode(b, *bytes);
    if (n.text) {
        Bytes converted;
        textBlock(*bytes, n.format, static_cast<long long>(i), converted);
        bytes->swap(converted);
    }
    if (bytes->size() != n.index->lengthOf(i))
        throw ToolError("", "the block at offset " + std::to_string(b.offset) + " reads as " +
                                std::to_string(bytes->size()) + " bytes, not the " +
                                std::to_string(n.index->lengthOf(i)) + " its headers claim");
    cache_.add(keyOf(n, b), bytes);
    return bytes;
}

std::shared_ptr<const Bytes> View::blockOf(const Node& n, std::size_t i) const {
    const unsigned long long key = keyOf(n, n.index->blocks[i]);
    if (auto held = cache_.find(key)) return held;
    {
        // Each block is decoded once: by a thread already at it (wait for
        // it), else here, and one still queued is taken from the queue, as
        // its reader needs it now.
        std::unique_lock<std::mutex> hold(aheadLock_);
        for (;;) {
            if (auto held = cache_.find(key)) return held;
            if (!inFlight_.count(key)) {
                inFlight_.insert(key);
                break;
            }
            const auto queued = std::find_if(queue_.begin(), queue_.end(), [&](const Ahead& a) { return a.key == key; });
            if (queued != queue_.end()) {
                queue_.erase(queued);
                break;
            }
            decoded_.wait(hold);
        }
    }
    const DoneWith done{*this, key};
    return decodeBlock(n, i);  // not read ahead, dropped since, or failed there: its error is told here
}

void View::finished(unsigned long long key) const {
    {
        std::lock_guard<std::mutex> hold(aheadLock_);
        inFlight_.erase(key);
    }
    decoded_.notify_all();
}

void View::readAhead(const Node& n, std::size_t i) const {
    const FileIndex& f = *n.index;
    // Only what costs a decode is worth a thread: a block stored shorter
    // than it reads (compressed), or converted to text.
    const std::size_t depth = static_cast<std::size_t>(jobs_) * 4;
    std::lock_guard<std::mutex> hold(aheadLock_);
    if (threads_.empty())
        for (int t = 0; t < jobs_; ++t) threads_.emplace_back([this] { decodeAhead(); });
    for (std::size_t j = i + 1; j < f.blocks.size() && j <= i + depth; ++j) {
        const unsigned long long key = keyOf(n, f.blocks[j]);
        if (!n.text && f.blocks[j].span >= f.lengthOf(j)) break;
        if (inFlight_.count(key) || cache_.find(key)) continue;
        inFlight_.insert(key);
        queue_.push_back(Ahead{&n, j, key});
    }
    queued_.notify_all();
}

void View::decodeAhead() const {
    std::unique_lock<std::mutex> hold(aheadLock_);
    for (;;) {
        queued_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        const Ahead a = queue_.front();
        queue_.pop_front();
        hold.unlock();
        {
            // A queued block is decoded here or by the reader who took it
            // from the queue, so it is never in the cache yet.
            const DoneWith done{*this, a.key};
            try {
                decodeBlock(*a.node, a.block);
            } catch (const ToolError&) {
                // The reader decodes it again and tells why it fails.
            }
        }
        hold.lock();
    }
}

namespace {

// Where the block's bytes stand in the source as they read; -1: nowhere.
long long inSource(const IndexedBlock& b) { return b.dataAt ? b.offset + b.dataAt : -1; }

}  // namespace

bool View::inPlace(const Node& n, unsigned long long offset, std::size_t size, std::vector<SourceRun>& runs) const {
    runs.clear();
    if (!n.index || n.text || decoder_.fd() < 0) return false;
    const FileIndex& f = *n.index;
    if (f.damaged && offset + size > f.size) return false;  // its end is an error, which read() gives
    for (std::size_t done = 0; done < size && offset < f.size;) {
        const std::size_t i = f.find(offset);
        const long long at = inSource(f.blocks[i]);
        if (at < 0) return false;
        const std::size_t into = static_cast<std::size_t>(offset - f.blocks[i].start);
        const std::size_t k = std::min<std::size_t>(size - done, f.lengthOf(i) - into);
        const long long from = at + static_cast<long long>(into);
        if (!runs.empty() && runs.back().at + static_cast<long long>(runs.back().n) == from) runs.back().n += k;
        else runs.push_back(SourceRun{from, k});
        done += k;
        offset += k;
    }
    // Checked last, so that a read that decodes is checked once, by read().
    return !check_ || check_().empty();
}

namespace {
// The image was cut (or changed) since its index was made.
ToolError cutShort(long long at) { return ToolError("", "ends inside the data at offset " + std::to_string(at)); }
}  // namespace

long View::gather(const Node& n, const SourceRun* runs, std::size_t count, char* to) const {
    if (count == 0) return 0;
    const SourceRun &first = runs[0], &last = runs[count - 1];
    std::size_t total = 0;
    for (std::size_t r = 0; r < count; ++r) total += runs[r].n;
    const std::size_t span = static_cast<std::size_t>(last.at - first.at) + last.n;
    try {
        // Small blocks lie close together between their headers: one read
        // of the stretch and a copy beat a system call a block.  The stretch
        // is at most a request's, so each thread's buffer stays that small.
        if (count > 1 && span - total <= total / 4) {
            thread_local Bytes stretch;
            if (stretch.size() < span) stretch.resize(span);
            char* from = reinterpret_cast<char*>(stretch.data());
            if (decoder_.bytesAt(first.at, from, span) != span) throw cutShort(first.at);
            for (std::size_t r = 0; r < count; ++r) {
                std::memcpy(to, from + (runs[r].at - first.at), runs[r].n);
                to += runs[r].n;
            }
            return static_cast<long>(total);
        }
        for (std::size_t r = 0; r < count; ++r) {
            if (decoder_.bytesAt(runs[r].at, to, runs[r].n) != runs[r].n) throw cutShort(runs[r].at);
            to += runs[r].n;
        }
    } catch (const ToolError& e) {
        report_(n.name + ": " + e.what());
        return -EIO;
    }
    return static_cast<long>(total);
}

long View::read(const Node& n, unsigned long long offset, char* to, std::size_t size) const {
    if (!n.index) {
        if (offset >= json_.size()) return 0;
        const std::size_t k = std::min<std::size_t>(size, json_.size() - offset);
        std::memcpy(to, json_.data() + offset, k);
        return static_cast<long>(k);
    }
    const FileIndex& f = *n.index;
    if (check_) {
        const std::string why = check_();
        if (!why.empty()) {
            std::call_once(changeTold_, [&] { report_(why); });
            return -EIO;
        }
    }
    std::size_t done = 0;
    while (done < size && offset < f.size) {
        const std::size_t i = f.find(offset);
        const long long inPlace = n.text ? -1 : inSource(f.blocks[i]);
        if (inPlace >= 0) {
            // No decoding, nothing worth a cache: the bytes straight from the source.
            const std::size_t at = static_cast<std::size_t>(offset - f.blocks[i].start);
            const SourceRun run{inPlace + static_cast<long long>(at),
                                std::min<std::size_t>(size - done, f.lengthOf(i) - at)};
            if (gather(n, &run, 1, to + done) < 0) return done ? static_cast<long>(done) : -EIO;
            done += run.n;
            offset += run.n;
            continue;
        }
        std::shared_ptr<const Bytes> block;
        try {
            block = blockOf(n, i);
        } catch (const ToolError& e) {
            report_(n.name + ": " + e.what());
            return done ? static_cast<long>(done) : -EIO;
        }
        const std::size_t at = static_cast<std::size_t>(offset - f.blocks[i].start);
        const std::size_t k = std::min(size - done, block->size() - at);
        std::memcpy(to + done, block->data() + at, k);
        done += k;
        offset += k;
        // A read to the end of a block is a reader going through the file.
        if (at + k == block->size() && jobs_ > 0) readAhead(n, i);
    }
    // A damaged file ends in an error, not in a short file.
    if (done == 0 && size > 0 && f.damaged) return -EIO;
    return static_cast<long>(done);
}

}  // namespace orvtool
