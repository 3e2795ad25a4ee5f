// C++ host: owns an ORVtape, writes a small compressed volume, walks it back
// from the end with readBkwd and feeds a TapeInformation in tape order.
// Exit status 0 means every check held.
#include <ORVtape.h>
#include <TapeInformation.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

static std::string console;

extern "C" void writeConsoleLog(int, const char*, const char* format, ...) {
    char line[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    console += line;
}

static int failures = 0;
#define CHECK(cond) \
    ((cond) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond), (void)++failures))

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "cxx_consumer.tape";
    const std::vector<unsigned> lengths{80, 70000, 0, 1234, 0, 0};
    std::remove(path);
    ORVtape tape;
    CHECK(tape.open(path, false) == 0);
    tape.compressOn = true;
    for (unsigned len : lengths) {
        std::vector<char> block(len);
        for (unsigned i = 0; i < len; ++i) block[i] = char('A' + i * len % 26);
        CHECK(tape.write(block.data(), len) == int(len));
    }

    std::vector<unsigned> seen;  // the lengths met backwards, in tape order
    std::vector<char> buf(80000);
    int rc;
    while ((rc = tape.readBkwd(buf.data(), unsigned(buf.size()))) >= 0) {
        seen.insert(seen.begin(), unsigned(rc));
        CHECK(rc == 0 || buf.back() == char('A' + (unsigned(rc) - 1) * unsigned(rc) % 26));
    }
    CHECK(rc == -4 && tape.bot && tape.blockID == 0 && seen == lengths && tape.close() == 0);

    TapeInformation info;
    for (unsigned len : seen) info.tally(len);
    info.summary();
    CHECK(info.fileCount == 3 && info.totalBytes == 80 + 70000 + 1234 &&
          console.find("MaxBlk-70,000 ") != std::string::npos &&
          console.find("TotalBytes-71,314 ") != std::string::npos);
    std::printf("%s", console.c_str());
    return failures != 0;
}
