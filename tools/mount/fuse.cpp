// fuse.cpp - the thin glue between the view and libfuse: names, sizes and
// reads, nothing else.  Everything is read-only.
#define FUSE_USE_VERSION 31
#include "mount/fuse.h"

#include "base/error.h"

#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace orvtool {

namespace {

struct Served {
    const View& view;
    const ServeSettings& settings;
};

const Served& served() { return *static_cast<const Served*>(fuse_get_context()->private_data); }

const Node* nodeOf(const char* path) {
    return path[0] == '/' && path[1] ? served().view.find(path + 1) : nullptr;
}

// A reply goes out by splice only when it fits libfuse's pipe, which it
// asks to be a page for each piece plus the bytes; without CAP_SYS_RESOURCE
// no pipe grows past /proc/sys/fs/pipe-max-size (1 MiB by default), and a
// reply that does not fit is gathered here instead.  Requests of half that
// leave room for the pieces of blocks from about 4 KiB up.
constexpr std::size_t kRequestBytes = 512u << 10;
constexpr const char* kMountOptions = "ro,default_permissions,fsname=orvtape,subtype=orvtape,max_read=524288";

std::size_t pipeLimit() {
    std::size_t bytes = 1u << 20;
    if (std::FILE* f = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
        if (std::fscanf(f, "%zu", &bytes) != 1) bytes = 1u << 20;
        std::fclose(f);
    }
    return bytes;
}

// The pieces a reply of size bytes may have and still go by splice.
std::size_t splicePieces(std::size_t size) {
    static const std::size_t limit = pipeLimit();
    const std::size_t page = 4096, header = 16;
    return limit > size + header + 2 * page ? (limit - size - header) / page - 2 : 0;
}

void* init(fuse_conn_info* conn, fuse_config* cfg) {
    // Large requests and a deep read-ahead, as far as the kernel grants them
    // (it may keep its own smaller read-ahead): a round trip through the
    // kernel costs more than a block, and requests in flight let the
    // threads decode several blocks at once.
    conn->max_read = kRequestBytes;  // as the mount option asks, which the kernel needs to hear
    // The kernel sizes its requests (pages a request) by the largest write,
    // though nothing is written here.
    conn->max_write = kRequestBytes;
    conn->max_readahead = 4u << 20;
    conn->max_background = 16;
    // Plain blocks go from the image to the reader by splice where it can.
    conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    // Nothing changes under a read-only view: the kernel may keep what it learnt.
    cfg->entry_timeout = cfg->attr_timeout = 3600;
    cfg->negative_timeout = 3600;
    return fuse_get_context()->private_data;
}

int getattr(const char* path, struct stat* st, fuse_file_info*) {
    const Served& s = served();
    std::memset(st, 0, sizeof *st);
    st->st_uid = s.settings.image.st_uid;
    st->st_gid = s.settings.image.st_gid;
    st->st_atim = s.settings.image.st_atim;
    st->st_mtim = s.settings.image.st_mtim;
    st->st_ctim = s.settings.image.st_ctim;
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    const Node* n = nodeOf(path);
    if (!n) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(s.view.size(*n));
    st->st_blksize = static_cast<blksize_t>(kRequestBytes);  // who sizes reads by it asks a request's worth at once
    st->st_blocks = (st->st_size + 511) / 512;
    return 0;
}

int readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOTDIR;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const Node& n : served().view.nodes()) fill(buf, n.name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int open(const char* path, fuse_file_info* fi) {
    const Node* n = nodeOf(path);
    if (!n) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->fh = reinterpret_cast<uint64_t>(n);
    // A damaged file must reach its end here to fail there: the kernel
    // would stop at its size.
    if (n->index && n->index->damaged) fi->direct_io = 1;
    else fi->keep_cache = 1;
    return 0;
}

int read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
    const Node& n = *reinterpret_cast<const Node*>(fi->fh);
    return static_cast<int>(served().view.read(n, static_cast<unsigned long long>(offset), buf, size));
}

// A read whose bytes all stand in the image as they read goes out as
// stretches of the image's descriptor, which the kernel splices to the
// reader, or, in too many pieces for that, is gathered here; any other
// read, through read().  libfuse frees what is handed over.
int readBuf(const char*, fuse_bufvec** out, size_t size, off_t offset, fuse_file_info* fi) {
    const View& view = served().view;
    const Node& n = *reinterpret_cast<const Node*>(fi->fh);
    thread_local std::vector<SourceRun> runs;
    const bool inPlace = view.inPlace(n, static_cast<unsigned long long>(offset), size, runs) && !runs.empty();
    const bool spliced = inPlace && runs.size() <= splicePieces(size);
    const std::size_t pieces = spliced ? runs.size() : 1;
    auto* v = static_cast<fuse_bufvec*>(std::calloc(1, sizeof(fuse_bufvec) + (pieces - 1) * sizeof(fuse_buf)));
    if (!v) return -ENOMEM;
    v->count = pieces;
    if (spliced) {
        for (std::size_t i = 0; i < pieces; ++i) {
            v->buf[i].size = runs[i].n;
            v->buf[i].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
            v->buf[i].fd = view.sourceFd();
            v->buf[i].pos = runs[i].at;
        }
        *out = v;
        return 0;
    }
    char* mem = static_cast<char*>(std::malloc(size ? size : 1));
    const long got = !mem ? -ENOMEM : inPlace ? view.gather(n, runs.data(), runs.size(), mem) : read(nullptr, mem, size, offset, fi);
    if (got < 0) {
        std::free(mem);
        std::free(v);
        return static_cast<int>(got);
    }
    v->buf[0].mem = mem;
    v->buf[0].size = static_cast<size_t>(got);
    *out = v;
    return 0;
}

// The kernel reads ahead 128 KiB at a time on a new mount, four round trips
// for each of our requests; a MiB halves what a sequential reader pays.  The
// setting belongs to this mount alone and goes with it; only root may make
// it, and without it the view is slower, not wrong.  The device number is
// taken from what the kernel already knows: a stat that asked this process,
// not serving yet, would never return.
void widenReadAhead(const std::string& dir) {
    struct statx at;
    if (statx(AT_FDCWD, dir.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE, &at) != 0) return;
    char path[96];
    std::snprintf(path, sizeof path, "/sys/class/bdi/%u:%u/read_ahead_kb", at.stx_dev_major, at.stx_dev_minor);
    if (std::FILE* f = std::fopen(path, "w")) {
        std::fputs("1024", f);
        std::fclose(f);
    }
}

}  // namespace

void serve(const View& view, const ServeSettings& settings, const std::function<void()>& onDetach) {
    fuse_operations ops{};
    ops.init = init;
    ops.getattr = getattr;
    ops.readdir = readdir;
    ops.open = open;
    ops.read = read;
    ops.read_buf = readBuf;
    Served served{view, settings};
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    for (const char* a : {"orvtape", "-o", kMountOptions})
        fuse_opt_add_arg(&args, a);
    if (settings.debug) fuse_opt_add_arg(&args, "-d");
    std::unique_ptr<fuse_args, void (*)(fuse_args*)> freeArgs(&args, fuse_opt_free_args);
    fuse* f = fuse_new(&args, &ops, sizeof ops, &served);
    if (!f) throw ToolError(settings.dir, "cannot be mounted: FUSE refused its settings");
    std::unique_ptr<fuse, void (*)(fuse*)> destroy(f, fuse_destroy);
    if (fuse_mount(f, settings.dir.c_str()) != 0)
        throw ToolError(settings.dir, "cannot be mounted (FUSE said why above)");
    widenReadAhead(settings.dir);
    fuse_session* session = fuse_get_session(f);
    if (fuse_daemonize(settings.foreground ? 1 : 0) != 0 || fuse_set_signal_handlers(session) != 0) {
        fuse_unmount(f);
        throw ToolError(settings.dir, "cannot be served after mounting");
    }
    if (!settings.foreground && onDetach) onDetach();
    fuse_loop_mt(f, 0);
    fuse_remove_signal_handlers(session);
    fuse_unmount(f);
}

}  // namespace orvtool
