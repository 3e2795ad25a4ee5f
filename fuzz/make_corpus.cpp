// Writes the seed corpus: images of every kind made by the library itself,
// each paired with a reading script and a writing script.
//   fuzz_make_corpus <output directory>
#include "ORVtape.h"
#include "harness.h"

#include <fstream>
#include <functional>

using namespace fuzzsupport;

namespace {

Bytes slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void put(ORVtape& t, std::size_t n, unsigned seed) {
    const Bytes d = blockData(n, seed);
    if (t.write(d.data(), static_cast<unsigned>(n)) != static_cast<int>(n)) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string scratch = dir + "/.scratch.tape";

    // Each recipe starts from a new image (five tapemarks) positioned at the
    // load point; "empty" truncates even those.
    const std::vector<std::pair<std::string, std::function<void(ORVtape&)>>> kinds = {
        {"empty", [](ORVtape& t) { t.erase(); }},
        {"new", [](ORVtape&) {}},
        {"plain", [](ORVtape& t) { put(t, 300, 1); t.wtm(1); }},
        {"multiseg", [](ORVtape& t) { t.maxSegLen = 16; put(t, 100, 3); t.wtm(1); put(t, 40, 5); }},
        {"compressed", [](ORVtape& t) { t.compressOn = true; put(t, 2000, 2); t.wtm(1); }},
        {"scrambled", [](ORVtape& t) { t.encryptOn = true; put(t, 200, 7); t.wtm(2); }},
        {"both", [](ORVtape& t) {
             t.compressOn = t.encryptOn = true;
             t.maxSegLen = 32;
             put(t, 3000, 4);
             t.wtm(1);
         }},
        {"mixed", [](ORVtape& t) {
             put(t, 50, 9);
             t.wtm(1);
             t.compressOn = true;
             put(t, 800, 6);
             t.compressOn = false;
             t.maxSegLen = 300;
             put(t, 1000, 11);
             t.wtm(2);
         }},
    };
    // op/argument pairs; see the step tables of the harnesses.
    const Bytes reading = {0, 7,  0, 2,  0, 13, 1, 3,  1, 11, 2, 1,  4, 2, 6, 8,
                           3, 1,  5, 1,  8, 15, 9, 0,  7, 0,  19, 0, 0, 9, 1, 0};
    const Bytes writing = {12, 1, 10, 8,  13, 1, 10, 6,  14, 20, 10, 7,  11, 1, 4, 1,
                           10, 3, 15, 0,  17, 0, 0, 7,   16, 1, 10, 5,   20, 1, 20, 2,
                           18, 4, 10, 9,  17, 1, 10, 4,  7, 0,  8, 15};
    for (const auto& kind : kinds) {
        std::remove(scratch.c_str());
        ORVtape t;
        if (t.open(scratch.c_str(), false) != 0) return 1;
        kind.second(t);
        t.close();
        const Bytes img = slurp(scratch);
        if (img.size() > 65535 || !strictlyWellFormed(img)) return 1;
        for (const auto& script : {std::make_pair("read", reading), std::make_pair("write", writing)}) {
            const Bytes in = join(img, script.second);
            std::ofstream(dir + "/" + kind.first + "-" + script.first, std::ios::binary)
                .write(reinterpret_cast<const char*>(in.data()), static_cast<std::streamsize>(in.size()));
        }
    }
    std::remove(scratch.c_str());
    return 0;
}
