// view.h - the directory a mounted volume shows: one file per tape file,
// each data set under its name (and as text where it holds records), and
// volume.json; reads at any offset over the block index and a bounded
// cache of decoded blocks.  No FUSE in it, so that it runs without a mount.
#ifndef ORVTAPE_TOOL_MOUNT_VIEW_H
#define ORVTAPE_TOOL_MOUNT_VIEW_H

#include "labels/dataset.h"
#include "mount/index.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <set>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvtool {

using Bytes = std::vector<unsigned char>;

// Decodes one indexed block of the volume; called from many threads at once.
class BlockDecoder {
public:
    virtual ~BlockDecoder() = default;
    // The block's bytes into out; throws ToolError when it cannot be read.
    virtual void decode(const IndexedBlock& b, Bytes& out) const = 0;
    // Up to n bytes of the source at offset: how many; throws ToolError.
    virtual std::size_t bytesAt(long long, char*, std::size_t) const { return 0; }
    // The source's descriptor, for reads that hand its bytes on unread; -1: none.
    virtual int fd() const { return -1; }
};

// A stretch of the source that a read delivers as it stands there.
struct SourceRun {
    long long at;
    std::size_t n;
};

// Decoded blocks by key, the least recently used dropped beyond a byte
// budget.  A block handed out stays valid for its holder after it is dropped.
class BlockCache {
public:
    explicit BlockCache(std::size_t budget) : budget_(budget) {}
    std::shared_ptr<const Bytes> find(unsigned long long key);
    void add(unsigned long long key, std::shared_ptr<const Bytes> bytes);
    std::size_t held() const;

private:
    using Order = std::list<unsigned long long>;
    struct Held {
        std::shared_ptr<const Bytes> bytes;
        Order::iterator use;
    };
    mutable std::mutex lock_;  // held only to look up and link, never while decoding
    std::size_t budget_, held_ = 0;
    Order order_;  // most recent first
    std::unordered_map<unsigned long long, Held> map_;
};

// A converted view of a block (its records as text lines); "" for as stored.
using Shape = std::function<void(const Bytes& block, long long blockInFile, std::string& out)>;

struct Node {
    std::string name;
    const FileIndex* index = nullptr;  // null: the volume's JSON
    bool text = false;                 // the index holds the text view's lengths
    RecordFormat format;               // of a text view
};

class View {
public:
    // report: where a failed read is told (a line, without its newline);
    // jobs: threads that decode compressed blocks ahead of a reader.
    View(VolumeIndex index, const LabelledVolume& labels, std::string json, const BlockDecoder& decoder,
         std::size_t cacheBytes, std::function<void(const std::string&)> report, int jobs = 0);
    ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    const std::vector<Node>& nodes() const { return nodes_; }
    const Node* find(const std::string& name) const;
    unsigned long long size(const Node& n) const { return n.index ? n.index->size : json_.size(); }
    // Up to size bytes at offset into to: how many (0 at the end), or -errno
    // (EIO where the volume cannot be read or its file is damaged there).
    long read(const Node& n, unsigned long long offset, char* to, std::size_t size) const;
    // The same read as stretches of the source's descriptor, when every byte
    // of it stands in the source as it reads (plain blocks of one piece):
    // the kernel then moves them without a copy through this process.
    // False when any byte needs a decode, or the read would fail.
    bool inPlace(const Node& n, unsigned long long offset, std::size_t size, std::vector<SourceRun>& runs) const;
    // The bytes of such runs, read from the source into to: how many, or
    // -EIO (told to report) where the source ends before them.
    long gather(const Node& n, const SourceRun* runs, std::size_t count, char* to) const;
    int sourceFd() const { return decoder_.fd(); }
    const VolumeIndex& index() const { return index_; }
    // check tells, before every read of blocks, why the source may no longer
    // be read ("" while it may): such a read fails rather than mix old and new.
    void watch(std::function<std::string()> check) { check_ = std::move(check); }

private:
    void addDataSets(const LabelledVolume& labels);
    std::shared_ptr<const Bytes> blockOf(const Node& n, std::size_t i) const;
    std::shared_ptr<const Bytes> decodeBlock(const Node& n, std::size_t i) const;
    void readAhead(const Node& n, std::size_t i) const;
    void decodeAhead() const;
    void finished(unsigned long long key) const;
    // Marks a block decoded (or failed) however its decode ends.
    struct DoneWith {
        const View& view;
        unsigned long long key;
        ~DoneWith() { view.finished(key); }
    };
    void textBlock(const Bytes& raw, const RecordFormat& f, long long blockNo, Bytes& out) const;

    VolumeIndex index_;
    std::vector<FileIndex> texts_;  // the text views' indexes
    std::string json_;
    const BlockDecoder& decoder_;
    mutable BlockCache cache_;
    std::function<void(const std::string&)> report_;
    std::function<std::string()> check_;
    mutable std::once_flag changeTold_;

    // Read-ahead: blocks queued for the threads; in flight, those queued or
    // being decoded, which a reader waits for rather than decode them twice.
    struct Ahead {
        const Node* node;
        std::size_t block;
        unsigned long long key;
    };
    int jobs_;
    mutable std::mutex aheadLock_;
    mutable std::condition_variable queued_, decoded_;
    mutable std::deque<Ahead> queue_;
    mutable std::set<unsigned long long> inFlight_;
    mutable std::vector<std::thread> threads_;  // started by the first read-ahead, after the mount went to the background
    mutable bool stopping_ = false;
    std::vector<Node> nodes_;
};

// Whether a data set reads as text lines: records of F or V (not spanned)
// on a volume with EBCDIC labels.
bool readsAsText(const LabelledVolume& v, const DataSet& d);

}  // namespace orvtool

#endif
