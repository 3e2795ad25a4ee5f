// C++ host: owns an ORVtape directly, writes a small volume, walks it back
// from the end with readBkwd and feeds a TapeInformation in tape order.
// Exit status 0 means every check held.
#include <ORVtape.h>
#include <TapeInformation.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static std::string consoleText;

extern "C" void writeConsoleLog(int, const char*, const char* format, ...) {
    char line[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    consoleText += line;
}

static int failures = 0;
#define CHECK(cond) \
    ((cond) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond), (void)++failures))

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "cxx_consumer.tape";
    std::remove(path);
    const unsigned lengths[] = {80, 70000, 512, 0, 1234, 0, 0};

    ORVtape tape;
    CHECK(tape.open(path, false) == 0 && tape.bot);
    tape.compressOn = true;
    std::vector<char> block;
    for (unsigned len : lengths) {
        block.assign(len, 0);
        for (unsigned i = 0; i < len; ++i) block[i] = char('A' + (i * len) % 26);
        CHECK(tape.write(block.data(), len) == int(len));
    }
    CHECK(tape.blockID == 7 && tape.fileNumber == 3);

    // Backwards from the end of data to the load point.
    std::vector<unsigned> seen;
    std::vector<char> buf(80000);
    int rc;
    while ((rc = tape.readBkwd(buf.data(), unsigned(buf.size()))) >= 0) {
        seen.insert(seen.begin(), unsigned(rc));
        if (rc == 1234) CHECK(buf.back() == char('A' + (1233u * 1234u) % 26));
    }
    CHECK(rc == -4 && tape.bot && tape.blockID == 0);
    CHECK(seen == std::vector<unsigned>(std::begin(lengths), std::end(lengths)));

    TapeInformation info;
    for (unsigned len : seen) info.tally(len);
    info.summary();
    CHECK(info.fileCount == 3 && info.totalBytes == 80 + 70000 + 512 + 1234);
    CHECK(consoleText.find("MaxBlk-70,000") != std::string::npos);
    CHECK(consoleText.find("TotalBytes-71,826") != std::string::npos);

    CHECK(tape.close() == 0);
    std::remove(path);
    if (failures == 0) std::printf("%sc++ host: all checks passed\n", consoleText.c_str());
    return failures == 0 ? 0 : 1;
}
