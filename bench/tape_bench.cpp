// Benchmarks of the tape engine.  Every library figure is paired with a
// baseline that does the unavoidable work with plain system calls (or plain
// libbz2, or memcpy) on the same data in the same directory, and the table at
// the end gives baseline time / library time: 1.00 means "as fast as the
// machine allows", lower is slower.  Absolute times on a shared machine are
// noise; each pair is run in several interleaved rounds and the best time of
// each side is kept.
#include "ORVtape.h"
#include "orvTapeStream.h"
#include "workload.h"

#include <benchmark/benchmark.h>
#include <bzlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned kKiB = 1024, kMiB = 1024 * 1024;

struct Config {
    bool quick = false;
    int rounds = 3;
    std::string dir;
    std::string exeDir;
    std::string cli;  // the command-line tool, when present
    unsigned long long plainBytes = 128ull * kMiB;
    unsigned smallBlocks = 50000;
    unsigned cmpBlocks = 4;
    unsigned long long xformBytes = 64ull * kMiB;
    unsigned bkwdBlocks = 16;
    unsigned spaceBlocks = 100000;
    unsigned memMiB = 256;
    unsigned long long growSmall = 100ull * kMiB, growLarge = 1024ull * kMiB;
    unsigned long long cliBytes = 1024ull * kMiB;
};
Config cfg;

// A pool of realistic 4 MiB blocks that every workload slices its blocks from.
std::vector<unsigned char> pool;
const unsigned char* blockData(unsigned i, unsigned size) {
    const std::size_t perPool = pool.size() / size;
    return pool.data() + static_cast<std::size_t>(i % perPool) * size;
}

std::string path(const std::string& name) { return cfg.dir + "/" + name; }

int openFile(const std::string& name) {
    const int fd = ::open(path(name).c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        std::perror(name.c_str());
        std::exit(2);
    }
    return fd;
}

void emptyFile(const std::string& name) {
    const int fd = openFile(name);
    if (ftruncate(fd, 0) != 0) std::perror("ftruncate");
    ::close(fd);
}

// A mounted image that starts empty; its five initial tapemarks are overwritten
// by the first block written at the load point.
struct Tape {
    ORVtape t;
    explicit Tape(const std::string& name, bool fresh = true) {
        if (fresh) emptyFile(name);
        if (t.open(path(name).c_str(), false) != 0) {
            std::fprintf(stderr, "cannot open %s: %d\n", name.c_str(), t.lastErrno);
            std::exit(2);
        }
    }
};

bool libWrite(ORVtape& t, unsigned size, unsigned blocks) {
    t.rew();
    for (unsigned i = 0; i < blocks; ++i)
        if (t.write(blockData(i, size), size) != static_cast<int>(size)) return false;
    return true;
}

bool libRead(ORVtape& t, unsigned char* buf, unsigned size, unsigned blocks) {
    t.rew();
    for (unsigned i = 0; i < blocks; ++i)
        if (t.read(buf, size) != static_cast<int>(size)) return false;
    return true;
}

bool rawWrite(int fd, unsigned size, unsigned blocks) {
    lseek(fd, 0, SEEK_SET);
    unsigned prev = 0;
    long long pos = 0;
    for (unsigned i = 0; i < blocks; ++i)
        if (!bench::rawWriteBlock(fd, blockData(i, size), size, prev, pos)) return false;
    return true;
}

bool rawRead(int fd, unsigned char* buf, unsigned size, unsigned blocks) {
    lseek(fd, 0, SEEK_SET);
    for (unsigned i = 0; i < blocks; ++i)
        if (bench::rawReadBlock(fd, buf) != size) return false;
    return true;
}

long long fileSize(const std::string& name) {
    struct stat st;
    return ::stat(path(name).c_str(), &st) == 0 ? st.st_size : -1;
}

// The same number of bytes as the image, in aligned 64 KiB calls.
bool alignedWrite(int fd, long long bytes) {
    lseek(fd, 0, SEEK_SET);
    for (long long done = 0; done < bytes;) {
        const long long n = std::min<long long>(64 * kKiB, bytes - done);
        if (::write(fd, pool.data() + done % (pool.size() - 64 * kKiB), n) != n) return false;
        done += n;
    }
    return ftruncate(fd, bytes) == 0;
}

bool alignedRead(int fd, unsigned char* buf, long long bytes) {
    lseek(fd, 0, SEEK_SET);
    long long done = 0;
    for (ssize_t n; (n = ::read(fd, buf, 64 * kKiB)) > 0;) done += n;
    return done == bytes;
}

// ---- Registration in interleaved rounds ------------------------------------

using Body = std::function<void(benchmark::State&)>;
struct Entry {
    std::string name;
    Body body;
};
std::vector<Entry> entries;

void add(const std::string& name, Body body) { entries.push_back({name, std::move(body)}); }

void fail(benchmark::State& st, const char* what) { st.SkipWithError(what); }

// Runs fn once as the timed iteration; setup before it is not timed.
template <class F>
void timed(benchmark::State& st, F fn, unsigned long long bytes) {
    bool ok = true;
    for (auto _ : st) ok = fn();
    if (!ok) fail(st, "operation failed");
    st.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// One block through the object before the timed part, so that the work
// buffers are allocated and touched once, as in any session that moves more
// than a block: the figures are the steady state.
void warmUp(ORVtape& t, unsigned char* buf, unsigned size, bool write = true) {
    t.rew();
    if (write) t.write(blockData(0, size), size);
    t.rew();
    t.read(buf, size);
}

void plainPair(unsigned size) {
    const unsigned blocks = static_cast<unsigned>(cfg.plainBytes / size);
    const std::string tag = size >= kMiB ? std::to_string(size / kMiB) + "M" : std::to_string(size / kKiB) + "K";
    const std::string img = "plain" + tag + ".tape", raw = "plain" + tag + ".raw", al = "plain" + tag + ".al";
    const unsigned long long bytes = 1ull * size * blocks;
    add("write_" + tag + "/lib", [=](benchmark::State& st) {
        Tape tp(img);
        timed(st, [&] { return libWrite(tp.t, size, blocks); }, bytes);
    });
    add("write_" + tag + "/raw", [=](benchmark::State& st) {
        emptyFile(raw);
        const int fd = openFile(raw);
        timed(st, [&] { return rawWrite(fd, size, blocks); }, bytes);
        ::close(fd);
        // The baseline must produce the very bytes the library produces.
        if (fileSize(raw) != fileSize(img)) fail(st, "raw layout differs from the library's image");
    });
    add("write_" + tag + "/aligned", [=](benchmark::State& st) {
        emptyFile(al);
        const int fd = openFile(al);
        const long long n = fileSize(img);
        timed(st, [&] { return alignedWrite(fd, n); }, bytes);
        ::close(fd);
    });
    add("read_" + tag + "/lib", [=](benchmark::State& st) {
        Tape tp(img, false);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        timed(st, [&] { return libRead(tp.t, buf.get(), size, blocks); }, bytes);
        if (std::memcmp(buf.get(), blockData(blocks - 1, size), size) != 0) fail(st, "data read back differs");
    });
    add("read_" + tag + "/raw", [=](benchmark::State& st) {
        const int fd = openFile(img);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        timed(st, [&] { return rawRead(fd, buf.get(), size, blocks); }, bytes);
        ::close(fd);
    });
    add("read_" + tag + "/aligned", [=](benchmark::State& st) {
        const int fd = openFile(img);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[64 * kKiB]);
        const long long n = fileSize(img);
        timed(st, [&] { return alignedRead(fd, buf.get(), n); }, bytes);
        ::close(fd);
    });
}

void smallPair() {
    const unsigned size = 80, blocks = cfg.smallBlocks;
    add("small_write/lib", [=](benchmark::State& st) {
        Tape tp("small.tape");
        timed(st, [&] { return libWrite(tp.t, size, blocks); }, 1ull * size * blocks);
    });
    add("small_write/raw", [=](benchmark::State& st) {
        emptyFile("small.raw");
        const int fd = openFile("small.raw");
        timed(st, [&] { return rawWrite(fd, size, blocks); }, 1ull * size * blocks);
        ::close(fd);
    });
    add("small_read/lib", [=](benchmark::State& st) {
        Tape tp("small.tape", false);
        unsigned char buf[size];
        timed(st, [&] { return libRead(tp.t, buf, size, blocks); }, 1ull * size * blocks);
    });
    add("small_read/raw", [=](benchmark::State& st) {
        const int fd = openFile("small.tape");
        unsigned char buf[size];
        timed(st, [&] { return rawRead(fd, buf, size, blocks); }, 1ull * size * blocks);
        ::close(fd);
    });
}

// The streaming writer and reader against the drive path on the same blocks:
// the ratio is drive time / streaming time.
void streamPairs(unsigned size, unsigned blocks) {
    const std::string tag = size >= kKiB ? std::to_string(size / kKiB) + "K" : std::to_string(size);
    const std::string img = "stream" + tag + ".tape", drv = "stream" + tag + ".drive";
    const unsigned long long bytes = 1ull * size * blocks;
    add("stream_write_" + tag + "/lib", [=](benchmark::State& st) {
        emptyFile(img);
        timed(st, [&] {
            ORVtapeWriter w;
            if (w.open(path(img).c_str(), 0, 0) != ORVTAPE_OK) return false;
            for (unsigned i = 0; i < blocks; ++i)
                if (w.write(blockData(i, size), size) != static_cast<int>(size)) return false;
            return w.close() == ORVTAPE_OK;
        }, bytes);
    });
    add("stream_write_" + tag + "/drive", [=](benchmark::State& st) {
        Tape tp(drv);
        timed(st, [&] { return libWrite(tp.t, size, blocks); }, bytes);
        if (fileSize(drv) != fileSize(img)) fail(st, "the streaming image differs from the drive's");
    });
    add("stream_read_" + tag + "/lib", [=](benchmark::State& st) {
        std::uint64_t sum = 0;
        timed(st, [&] {
            ORVtapeReader r;
            if (r.open(path(img).c_str()) != ORVTAPE_OK) return false;
            orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT;
            unsigned n = 0;
            for (; r.next(&b, ORVTAPE_READ_DECODE) == static_cast<int>(size); ++n) sum = bench::digest(b.data, 8, sum);
            return n == blocks;
        }, bytes);
        benchmark::DoNotOptimize(sum);
    });
    add("stream_read_" + tag + "/drive", [=](benchmark::State& st) {
        Tape tp(drv, false);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        timed(st, [&] { return libRead(tp.t, buf.get(), size, blocks); }, bytes);
    });
}

// Compressed bytes stored by the library over the bytes given to it.
double compressionRatio = 0;

void compressedPair() {
    const unsigned size = 4 * kMiB, blocks = cfg.cmpBlocks;
    const unsigned long long bytes = 1ull * size * blocks;
    add("cmp_write/lib", [=](benchmark::State& st) {
        Tape tp("cmp.tape");
        tp.t.compressOn = true;
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        warmUp(tp.t, buf.get(), size);
        timed(st, [&] { return libWrite(tp.t, size, blocks); }, bytes);
        compressionRatio = static_cast<double>(fileSize("cmp.tape")) / static_cast<double>(bytes);
    });
    add("cmp_write/bz2", [=](benchmark::State& st) {
        std::vector<char> out(size + size / 8);
        timed(st, [&] {
            for (unsigned i = 0; i < blocks; ++i) {
                unsigned n = static_cast<unsigned>(out.size());
                if (BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char*>(reinterpret_cast<const char*>(blockData(i, size))),
                                             size, 9, 0, 0) != BZ_OK)
                    return false;
            }
            return true;
        }, bytes);
    });
    add("cmp_read/lib", [=](benchmark::State& st) {
        Tape tp("cmp.tape", false);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        warmUp(tp.t, buf.get(), size, false);
        timed(st, [&] { return libRead(tp.t, buf.get(), size, blocks); }, bytes);
        if (std::memcmp(buf.get(), blockData(blocks - 1, size), size) != 0) fail(st, "data read back differs");
    });
    add("cmp_read/bz2", [=](benchmark::State& st) {
        std::vector<std::vector<char>> packed(blocks);
        for (unsigned i = 0; i < blocks; ++i) {
            packed[i].resize(size + size / 8);
            unsigned n = static_cast<unsigned>(packed[i].size());
            BZ2_bzBuffToBuffCompress(packed[i].data(), &n, const_cast<char*>(reinterpret_cast<const char*>(blockData(i, size))),
                                     size, 9, 0, 0);
            packed[i].resize(n);
        }
        std::unique_ptr<char[]> buf(new char[size]);
        timed(st, [&] {
            for (unsigned i = 0; i < blocks; ++i) {
                unsigned n = size;
                if (BZ2_bzBuffToBuffDecompress(buf.get(), &n, packed[i].data(), static_cast<unsigned>(packed[i].size()), 0, 0) != BZ_OK)
                    return false;
            }
            return true;
        }, bytes);
    });
}

void scramblePair() {
    const unsigned size = 4 * kMiB, blocks = static_cast<unsigned>(cfg.xformBytes / size);
    const unsigned long long bytes = 2ull * size * blocks;
    auto writeRead = [=](bool scramble, const std::string& img) {
        return [=](benchmark::State& st) {
            Tape tp(img);
            tp.t.encryptOn = scramble;
            std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
            warmUp(tp.t, buf.get(), size);
            timed(st, [&] { return libWrite(tp.t, size, blocks) && libRead(tp.t, buf.get(), size, blocks); }, bytes);
            if (std::memcmp(buf.get(), blockData(blocks - 1, size), size) != 0) fail(st, "data read back differs");
        };
    };
    add("scramble_rw/lib", writeRead(true, "scr.tape"));
    add("scramble_rw/plain", writeRead(false, "scr_plain.tape"));
    const unsigned loops = 16;
    add("scramble_loop/lib", [=](benchmark::State& st) {
        ORVtape t;
        t.encrypt(reinterpret_cast<char*>(pool.data()), size);  // allocates the work buffer untimed
        timed(st, [&] {
            for (unsigned i = 0; i < loops; ++i) t.encrypt(reinterpret_cast<char*>(pool.data()), size);
            return true;
        }, 1ull * loops * size);
    });
    add("scramble_loop/memcpy", [=](benchmark::State& st) {
        std::unique_ptr<unsigned char[]> dst(new unsigned char[size]);
        std::memset(dst.get(), 0, size);
        timed(st, [&] {
            for (unsigned i = 0; i < loops; ++i) {
                std::memcpy(dst.get(), pool.data(), size);
                benchmark::ClobberMemory();
            }
            return true;
        }, 1ull * loops * size);
    });
}

void backwardPair() {
    const unsigned size = 4 * kMiB, blocks = cfg.bkwdBlocks;
    const unsigned long long bytes = 1ull * size * blocks;
    add("bkwd/lib", [=](benchmark::State& st) {
        Tape tp("bkwd.tape");
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        if (!libWrite(tp.t, size, blocks)) fail(st, "setup failed");
        tp.t.readBkwd(buf.get(), size);  // sizes the staging area untimed
        tp.t.fsr(1);
        timed(st, [&] {
            for (unsigned i = 0; i < blocks; ++i)
                if (tp.t.readBkwd(buf.get(), size) != static_cast<int>(size)) return false;
            return tp.t.bot;
        }, bytes);
        if (std::memcmp(buf.get(), blockData(0, size), size) != 0) fail(st, "data read back differs");
    });
    add("bkwd/forward", [=](benchmark::State& st) {
        Tape tp("bkwd.tape", false);
        std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
        timed(st, [&] { return libRead(tp.t, buf.get(), size, blocks); }, bytes);
    });
}

// 100,000 single-segment blocks of assorted small sizes, a tapemark after
// every thousandth.
unsigned spaceFiles = 0;
void makeSpacingImage() {
    Tape tp("space.tape");
    for (unsigned i = 0; i < cfg.spaceBlocks; ++i) {
        const unsigned size = 64 + (i * 7919u) % 4000;
        tp.t.write(blockData(i, 4096), size);
        if (i % 1000 == 999) {
            tp.t.wtm(1);
            ++spaceFiles;
        }
    }
}

// The raw loop of spacing: one 6-byte read and one seek over each payload.
bool rawSpace(int fd) {
    lseek(fd, 0, SEEK_SET);
    unsigned char h[bench::kHdr];
    for (;;) {
        const ssize_t got = ::read(fd, h, bench::kHdr);
        if (got == 0) return true;
        if (got != bench::kHdr) return false;
        if (lseek(fd, h[0] | (h[1] << 8), SEEK_CUR) < 0) return false;
    }
}

// The raw loop of validation: a 6-byte read and two seeks per header.
bool rawValidate(int fd) {
    const long long end = lseek(fd, 0, SEEK_END);
    long long off = lseek(fd, 0, SEEK_SET);
    unsigned char h[bench::kHdr];
    while (off < end) {
        if (::read(fd, h, bench::kHdr) != bench::kHdr) return false;
        off += bench::kHdr + (h[0] | (h[1] << 8));
        if (lseek(fd, off, SEEK_SET) != off || lseek(fd, 0, SEEK_CUR) != off) return false;
    }
    return true;
}

void spacingPairs() {
    const unsigned total = cfg.spaceBlocks + cfg.spaceBlocks / 1000;
    add("fsr/lib", [=](benchmark::State& st) {
        Tape tp("space.tape", false);
        timed(st, [&] { return tp.t.rew() == 0 && tp.t.fsr(total) == 0 && tp.t.blockID == static_cast<int>(total); }, 0);
    });
    add("fsr/raw", [=](benchmark::State& st) {
        const int fd = openFile("space.tape");
        timed(st, [&] { return rawSpace(fd); }, 0);
        ::close(fd);
    });
    add("fsf/lib", [=](benchmark::State& st) {
        Tape tp("space.tape", false);
        timed(st, [&] { return tp.t.rew() == 0 && tp.t.fsf(spaceFiles) == 0 && tp.t.blockID == static_cast<int>(total); }, 0);
    });
    add("validate/lib", [=](benchmark::State& st) {
        Tape tp("space.tape", false);
        timed(st, [&] { return tp.t.validate(nullptr, nullptr, nullptr, nullptr) == static_cast<int>(total); }, 0);
    });
    add("validate/raw", [=](benchmark::State& st) {
        const int fd = openFile("space.tape");
        timed(st, [&] { return rawValidate(fd); }, 0);
        ::close(fd);
    });
}

void growthPair() {
    const unsigned size = 256 * kKiB;
    for (const unsigned long long bytes : {cfg.growSmall, cfg.growLarge}) {
        const unsigned blocks = static_cast<unsigned>(bytes / size);
        add("growth_" + std::to_string(bytes / kMiB) + "M/lib", [=](benchmark::State& st) {
            Tape tp("growth.tape");
            std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
            timed(st, [&] { return libWrite(tp.t, size, blocks) && libRead(tp.t, buf.get(), size, blocks); }, 2 * bytes);
            emptyFile("growth.tape");
        });
    }
}

// The command-line tool copying a file onto a tape and back, against cp.
void cliPair() {
    if (cfg.cli.empty()) return;
    const std::string src = path("cli.src"), img = path("cli.tape"), back = path("cli.back");
    const std::string put = cfg.cli + " -q put " + img + " " + src + " >/dev/null";
    const std::string get = cfg.cli + " -q get " + img + " 0 " + back + " >/dev/null";
    const std::string cp = "cp " + src + " " + back;
    auto shell = [](const std::string& cmd) { return std::system(cmd.c_str()) == 0; };
    add("cli_put/lib", [=](benchmark::State& st) {
        std::remove(img.c_str());
        timed(st, [&] { return shell(put); }, cfg.cliBytes);
    });
    add("cli_get/lib", [=](benchmark::State& st) {
        std::remove(back.c_str());
        timed(st, [&] { return shell(get); }, cfg.cliBytes);
        if (fileSize("cli.back") != static_cast<long long>(cfg.cliBytes)) fail(st, "file read back differs in size");
    });
    add("cli/cp", [=](benchmark::State& st) {
        std::remove(back.c_str());
        timed(st, [&] { return shell(cp); }, cfg.cliBytes);
    });
    // Plain conversion against orvtape copy of the same volume.
    const std::string tap = path("cli.tap"), imp = path("cli.imp"), copied = path("cli.copy");
    const std::string exportCmd = cfg.cli + " -q export -f " + img + " " + tap + " --to tap";
    const std::string importCmd = cfg.cli + " -q import -f " + tap + " " + imp + " --from tap";
    const std::string copyCmd = cfg.cli + " -q copy -f " + img + " " + copied;
    add("cli_export/lib", [=](benchmark::State& st) { timed(st, [&] { return shell(exportCmd); }, cfg.cliBytes); });
    add("cli_import/lib", [=](benchmark::State& st) { timed(st, [&] { return shell(importCmd); }, cfg.cliBytes); });
    add("cli_copy/base", [=](benchmark::State& st) { timed(st, [&] { return shell(copyCmd); }, cfg.cliBytes); });
}

// ls and check of a volume of small blocks, labelled against the same data
// unlabelled: reading the labels must not cost a walk of its own per block.
void cliLabelledPair() {
    if (cfg.cli.empty()) return;
    const std::string lab = path("cli80lab.tape"), plain = path("cli80.tape");
    auto command = [](const std::string& cmd) {
        return [cmd](benchmark::State& st) {
            timed(st, [&] { return std::system(cmd.c_str()) == 0; }, 80ull * cfg.spaceBlocks);
        };
    };
    add("cli_ls_labelled/lib", command(cfg.cli + " ls " + lab + " >/dev/null"));
    add("cli_ls_plain/base", command(cfg.cli + " ls " + plain + " >/dev/null"));
    add("cli_check_labelled/lib", command(cfg.cli + " check " + lab + " >/dev/null"));
    add("cli_check_plain/base", command(cfg.cli + " check " + plain + " >/dev/null"));
}

void makeCliSource() {
    if (cfg.cli.empty()) return;
    const int small = openFile("cli80.src");
    if (ftruncate(small, 0) != 0) std::perror("ftruncate");
    for (unsigned i = 0; i < cfg.spaceBlocks; ++i)
        if (::write(small, blockData(i, 80), 80) != 80) std::exit(2);
    ::close(small);
    const std::string put = cfg.cli + " -q put -f -b 80 ", src = " " + path("cli80.src");
    if (std::system((put + "--label BENCH " + path("cli80lab.tape") + src).c_str()) != 0 ||
        std::system((put + path("cli80.tape") + src).c_str()) != 0)
        std::exit(2);
    const int fd = openFile("cli.src");
    if (ftruncate(fd, 0) != 0) std::perror("ftruncate");
    for (unsigned long long done = 0; done < cfg.cliBytes; done += 4 * kMiB)
        if (::write(fd, blockData(static_cast<unsigned>(done / (4 * kMiB)), 4 * kMiB), 4 * kMiB) != 4 * kMiB) std::exit(2);
    ::close(fd);
}

// ---- Results ------------------------------------------------------------------

// Best real time per benchmark name (without the round suffix), in seconds.
std::map<std::string, double> best;
std::map<std::string, std::string> errors;
bool useRealTime = false;

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            std::string name = r.benchmark_name();
            name = name.substr(0, name.find('#'));
            if (r.error_occurred) {
                errors[name] = r.error_message;
                continue;
            }
            // Process CPU time (user + system) by default: on a shared machine
            // it leaves out the time spent waiting for a core.
            // The tool runs as a child process, which only the wall clock sees.
            const bool wall = useRealTime || name.rfind("cli", 0) == 0;
            const double total = wall ? r.real_accumulated_time : r.cpu_accumulated_time;
            const double secs = total / static_cast<double>(r.iterations);
            auto it = best.find(name);
            if (it == best.end() || secs < it->second) best[name] = secs;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

struct Memory {
    long kib = -1;
    bool ok = false;
};

Memory probeMemory(const char* mode) {
    const std::string cmd = cfg.exeDir + "/orvtape_memprobe " + mode + " " + std::to_string(cfg.memMiB) + " " +
                            path(std::string("mem_") + mode + ".tape");
    Memory m;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return m;
    unsigned moved = 0;
    const bool parsed = std::fscanf(p, "%ld %u", &m.kib, &moved) == 2;
    m.ok = pclose(p) == 0 && parsed && moved == cfg.memMiB;
    std::remove(path(std::string("mem_") + mode + ".tape").c_str());
    return m;
}

int failures = 0;

void row(const char* figure, const std::string& lib, const std::string& base, double goal, const char* goalText,
         const char* note = "") {
    const auto l = best.find(lib), b = best.find(base);
    if (l == best.end() || b == best.end()) {
        const std::string why = errors.count(lib) ? errors[lib] : errors.count(base) ? errors[base] : "not run";
        std::printf("| %-34s | %9s | %9s | %6s | %-8s | FAILED: %s |\n", figure, "-", "-", "-", goalText, why.c_str());
        ++failures;
        return;
    }
    const double ratio = b->second / l->second;
    const bool met = goal <= 0 || ratio >= goal;
    std::printf("| %-34s | %9.2f | %9.2f | %6.2f | %-8s | %s%s |\n", figure, l->second * 1e3, b->second * 1e3, ratio,
                goalText, goal <= 0 ? "info" : met ? "met" : "MISSED", note);
}

void printTable(const Memory& xform, const Memory& plain) {
    std::printf("\n| %-34s | %9s | %9s | %6s | %-8s | %s |\n", "figure (baseline)", "lib ms", "base ms", "ratio", "goal",
                "result");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(11, '-').c_str(),
                std::string(11, '-').c_str(), std::string(8, '-').c_str(), std::string(10, '-').c_str(),
                std::string(8, '-').c_str());
    row("write 256 KiB (raw layout)", "write_256K/lib", "write_256K/raw", 0.90, ">= 0.90");
    row("write 256 KiB (aligned 64 KiB)", "write_256K/lib", "write_256K/aligned", 0, "-");
    row("write 4 MiB (raw layout)", "write_4M/lib", "write_4M/raw", 0.90, ">= 0.90");
    row("write 4 MiB (aligned 64 KiB)", "write_4M/lib", "write_4M/aligned", 0, "-");
    row("read 256 KiB (raw layout)", "read_256K/lib", "read_256K/raw", 0.90, ">= 0.90");
    row("read 256 KiB (aligned 64 KiB)", "read_256K/lib", "read_256K/aligned", 0, "-");
    row("read 4 MiB (raw layout)", "read_4M/lib", "read_4M/raw", 0.90, ">= 0.90");
    row("read 4 MiB (aligned 64 KiB)", "read_4M/lib", "read_4M/aligned", 0, "-");
    row("write 80 B blocks (raw layout)", "small_write/lib", "small_write/raw", 0.90, ">= 0.90");
    row("read 80 B blocks (raw layout)", "small_read/lib", "small_read/raw", 0.90, ">= 0.90");
    row("stream write 80 B (drive write)", "stream_write_80/lib", "stream_write_80/drive", 5.0, ">= 5.00");
    row("stream read 80 B (drive read)", "stream_read_80/lib", "stream_read_80/drive", 5.0, ">= 5.00");
    row("stream write 32 KiB (drive write)", "stream_write_32K/lib", "stream_write_32K/drive", 1.0, ">= 1.00");
    row("stream read 32 KiB (drive read)", "stream_read_32K/lib", "stream_read_32K/drive", 1.0, ">= 1.00");
    char note[64];
    std::snprintf(note, sizeof note, "; stored/original %.3f", compressionRatio);
    row("compressed write (bz2 in memory)", "cmp_write/lib", "cmp_write/bz2", 0.95, ">= 0.95", note);
    row("compressed read (bz2 in memory)", "cmp_read/lib", "cmp_read/bz2", 0.95, ">= 0.95");
    row("scrambled write+read (plain)", "scramble_rw/lib", "scramble_rw/plain", 0.70, ">= 0.70");
    row("scramble loop (memcpy)", "scramble_loop/lib", "scramble_loop/memcpy", 0.50, ">= 0.50");
    row("readBkwd 4 MiB (forward read)", "bkwd/lib", "bkwd/forward", 0.40, ">= 0.40");
    row("fsr 100k blocks (read+lseek loop)", "fsr/lib", "fsr/raw", 0.90, ">= 0.90");
    row("fsf 100k blocks (read+lseek loop)", "fsf/lib", "fsr/raw", 0.90, ">= 0.90");
    row("validate (read+2 lseek loop)", "validate/lib", "validate/raw", 1.00, ">= 1.00");
    const auto mem = [](const char* figure, const Memory& m, double goalMiB, const char* goalText) {
        const double mib = static_cast<double>(m.kib) / 1024.0;
        const bool met = m.ok && mib <= goalMiB;
        if (!m.ok) ++failures;
        std::printf("| %-34s | %9s | %9s | %6.1f | %-8s | %s (MiB resident) |\n", figure, "-", "-", mib, goalText,
                    !m.ok ? "FAILED" : met ? "met" : "MISSED");
    };
    const std::string memLabel = std::to_string(cfg.memMiB) + " MiB";
    mem(("peak RSS, " + memLabel + " cmp+scr").c_str(), xform, 32, "<= 32");
    mem(("peak RSS, " + memLabel + " plain").c_str(), plain, 8, "<= 8");
    const std::string small = "growth_" + std::to_string(cfg.growSmall / kMiB) + "M/lib";
    const std::string large = "growth_" + std::to_string(cfg.growLarge / kMiB) + "M/lib";
    if (best.count(small) && best.count(large)) {
        const double g = best[large] / best[small];
        const double expect = static_cast<double>(cfg.growLarge) / static_cast<double>(cfg.growSmall);
        const bool met = g >= expect * 0.85 && g <= expect * 1.15;
        std::printf("| %-34s | %9.2f | %9.2f | %6.2f | %-8s | %s (time ratio, expect %.2f) |\n",
                    ("growth " + std::to_string(cfg.growSmall / kMiB) + " MiB -> " + std::to_string(cfg.growLarge / kMiB) + " MiB").c_str(),
                    best[large] * 1e3, best[small] * 1e3, g, "+-15%", met ? "met" : "MISSED", expect);
    } else {
        std::printf("| growth | FAILED: %s |\n", errors.count(large) ? errors[large].c_str() : "not run");
        ++failures;
    }
    if (!cfg.cli.empty()) {
        row("CLI put (cp of the same file)", "cli_put/lib", "cli/cp", 0, "-");
        row("CLI get (cp of the same file)", "cli_get/lib", "cli/cp", 0, "-");
        row("CLI export tap (orvtape copy)", "cli_export/lib", "cli_copy/base", 0.90, ">= 0.90");
        row("CLI import tap (orvtape copy)", "cli_import/lib", "cli_copy/base", 0.90, ">= 0.90");
        row("CLI ls labelled (ls unlabelled)", "cli_ls_labelled/lib", "cli_ls_plain/base", 0.50, ">= 0.50");
        row("CLI check labelled (unlabelled)", "cli_check_labelled/lib", "cli_check_plain/base", 0.50, ">= 0.50");
    }
    std::printf("\nratio = baseline time / library time (%s), best of %d interleaved round(s); "
                "data: seeded mix of text, binary records and random bytes; directory %s\n",
                useRealTime ? "wall clock" : "process CPU time", cfg.rounds, cfg.dir.c_str());
}

void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--quick] [--rounds=N] [--dir=DIR] [--cli=PATH] [--real-time] [benchmark options]\n"
                 "  --quick     small sizes, one round: a smoke run\n"
                 "  --dir=DIR   where the images go (default: the current directory)\n"
                 "  --cli=PATH  also time the command-line tool's put, get, export and import\n"
                 "  --real-time compare wall-clock times instead of process CPU times\n",
                 argv0);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest{argv[0]};
    bool roundsGiven = false;
    cfg.dir = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick") {
            cfg.quick = true;
        } else if (a.rfind("--rounds=", 0) == 0) {
            cfg.rounds = std::max(1, std::atoi(a.c_str() + 9));
            roundsGiven = true;
        } else if (a.rfind("--dir=", 0) == 0) {
            cfg.dir = a.substr(6);
        } else if (a == "--real-time") {
            useRealTime = true;
        } else if (a.rfind("--cli=", 0) == 0) {
            cfg.cli = a.substr(6);
        } else if (a == "--help" || a == "-h") {
            usage(argv[0]);
            return 0;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (cfg.quick) {
        if (!roundsGiven) cfg.rounds = 1;
        cfg.plainBytes = 16ull * kMiB;
        cfg.smallBlocks = 5000;
        cfg.cmpBlocks = 1;
        cfg.xformBytes = 8ull * kMiB;
        cfg.bkwdBlocks = 4;
        cfg.spaceBlocks = 10000;
        cfg.memMiB = 16;
        cfg.growSmall = 8ull * kMiB;
        cfg.growLarge = 80ull * kMiB;
        cfg.cliBytes = 64ull * kMiB;
    }
    std::string self = argv[0];
    cfg.exeDir = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
    mkdir(cfg.dir.c_str(), 0755);

    pool.resize((cfg.quick ? 4 : 8) * 4ull * kMiB);
    for (std::size_t i = 0; i < pool.size() / (4 * kMiB); ++i)
        bench::fillRealistic(pool.data() + i * 4 * kMiB, 4 * kMiB, i);
    makeSpacingImage();
    makeCliSource();

    plainPair(256 * kKiB);
    plainPair(4 * kMiB);
    smallPair();
    streamPairs(80, cfg.smallBlocks * 4);
    streamPairs(32 * kKiB, static_cast<unsigned>(cfg.plainBytes / (32 * kKiB)));
    compressedPair();
    scramblePair();
    backwardPair();
    spacingPairs();
    growthPair();
    cliPair();
    cliLabelledPair();
    // Rounds interleave the pairs, so a burst of load from elsewhere hits
    // the library and its baseline alike.
    for (int r = 1; r <= cfg.rounds; ++r)
        for (const Entry& e : entries)
            benchmark::RegisterBenchmark((e.name + "#" + std::to_string(r)).c_str(), e.body)
                ->Iterations(1)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);

    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 2;
    Recorder rec;
    rec.SetOutputStream(&std::cerr);
    rec.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&rec);

    const Memory xform = probeMemory("xform");
    const Memory plain = probeMemory("plain");
    printTable(xform, plain);
    for (const char* f : {"plain256K", "plain4M"})
        for (const char* ext : {".tape", ".raw", ".al"}) std::remove(path(std::string(f) + ext).c_str());
    for (const char* f : {"stream80.tape", "stream80.drive", "stream32K.tape", "stream32K.drive"}) std::remove(path(f).c_str());
    for (const char* f : {"small.tape", "small.raw", "cmp.tape", "scr.tape", "scr_plain.tape", "bkwd.tape",
                          "space.tape", "growth.tape", "cli.src", "cli.tape", "cli.back", "cli.tap", "cli.imp",
                          "cli.copy", "cli80.src", "cli80.tape", "cli80lab.tape"})
        std::remove(path(f).c_str());
    benchmark::Shutdown();
    return failures == 0 ? 0 : 1;
}
