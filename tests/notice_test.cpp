// The notice stamping routine, run in child processes because it always
// ends the process: synthetic files first, then its own compiled object.
#include "orvTapeItf.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <elf.h>
#include <fcntl.h>
#include <cstring>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr std::size_t kNoticeLen = 288;

// A section of a 64-bit ELF relocatable object, found by name (all zeros if absent).
Elf64_Shdr elfSection(const Bytes& obj, const char* name) {
    Elf64_Ehdr eh{};
    Elf64_Shdr sh{}, names{};
    if (obj.size() < sizeof eh) return sh;
    std::memcpy(&eh, obj.data(), sizeof eh);
    std::memcpy(&names, obj.data() + eh.e_shoff + eh.e_shstrndx * sizeof sh, sizeof sh);
    for (std::size_t i = 0; i < eh.e_shnum; ++i) {
        std::memcpy(&sh, obj.data() + eh.e_shoff + i * sizeof sh, sizeof sh);
        if (std::strcmp(reinterpret_cast<const char*>(obj.data() + names.sh_offset + sh.sh_name), name) == 0)
            return sh;
    }
    return Elf64_Shdr{};
}

// The notice as the compiled routine carries it in its ".note" section.
Bytes noticeText() {
    const Bytes obj = readFile(ORVTAPE_NOTICE_OBJECT);
    const Elf64_Shdr note = elfSection(obj, ".note");
    if (note.sh_size < kNoticeLen) return {};
    return Bytes(obj.begin() + note.sh_offset, obj.begin() + note.sh_offset + kNoticeLen);
}

Bytes groups(int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) append(out, {0x60, 0x00, 0x00, 0x00});
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) append(out, p);
    return out;
}

std::vector<std::size_t> occurrences(const Bytes& hay, const Bytes& needle) {
    std::vector<std::size_t> at;
    for (auto it = hay.begin(); (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end(); ++it)
        at.push_back(static_cast<std::size_t>(it - hay.begin()));
    return at;
}

// Runs the routine in a child whose working directory is dir, with its
// standard output and error caught in dir's "console" file.
int stampIn(const TempDir& dir) {
    const std::string where = dir.path("");
    return inChild(
        [](void* arg) {
            const std::string& d = *static_cast<const std::string*>(arg);
            const int out = ::open((d + "console").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || chdir(d.c_str()) != 0) _exit(99);
            dup2(out, 1);
            dup2(out, 2);
            print_copyright_msg();
            _exit(98);  // never reached: the routine ends the process itself
        },
        const_cast<std::string*>(&where));
}

}  // namespace

TEST(Notice, SyntheticFiles) {
    const Bytes notice = noticeText();
    ASSERT_EQ(notice.size(), kNoticeLen);
    ASSERT_NE(notice, groups(72));

    TempDir none;
    EXPECT_EQ(stampIn(none), 0);
    EXPECT_EQ(fileSize(none.path("cpyrht.o")), -1);  // nothing is created
    EXPECT_EQ(fileSize(none.path("console")), 0);

    const Bytes sixty{0x60};
    const struct {
        const char* what;
        Bytes before, after;
    } cases[] = {
        {"empty", {}, {}},
        {"71 groups", groups(71), groups(71)},
        {"framed", cat({{0x01}, groups(72), {0x02}}), cat({{0x01}, notice, {0x02}})},
        {"at offset 0", cat({groups(72), {0x7A, 0x7B}}), cat({notice, {0x7A, 0x7B}})},
        {"ends at the last byte", cat({{0x41, 0x42}, groups(72)}), cat({{0x41, 0x42}, notice})},
        {"breaking 60 then 72 groups", cat({sixty, groups(72)}), cat({sixty, groups(72)})},
        {"breaking 60 then 73 groups", cat({sixty, groups(73)}), cat({sixty, groups(1), notice})},
        {"two placeholders", cat({{0x01}, groups(72), {0x02}, groups(72)}),
         cat({{0x01}, notice, {0x02}, groups(72)})},
        {"longer run", cat({groups(80), {0x03}}), cat({notice, groups(8), {0x03}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir.path("cpyrht.o"), c.before);
        EXPECT_EQ(stampIn(dir), 0);
        EXPECT_EQ(readFile(dir.path("cpyrht.o")), c.after);
        EXPECT_EQ(fileSize(dir.path("console")), 0);
    }
}

TEST(Notice, StampsItsOwnObject) {
    const Bytes before = readFile(ORVTAPE_NOTICE_OBJECT);
    const Elf64_Shdr note = elfSection(before, ".note");
    ASSERT_GE(note.sh_size, kNoticeLen + 1) << ORVTAPE_NOTICE_OBJECT;
    EXPECT_EQ(before[note.sh_offset + kNoticeLen], 0);  // the terminator follows the 288 bytes
    EXPECT_EQ(note.sh_flags & (SHF_ALLOC | SHF_WRITE), SHF_ALLOC);  // loaded, read-only
    const Bytes notice = noticeText();

    // Unstamped: one placeholder (in the code), the text only in ".note".
    const auto holders = occurrences(before, groups(72));
    ASSERT_EQ(holders.size(), 1u);
    const Elf64_Shdr text = elfSection(before, ".text");
    EXPECT_GE(holders[0], text.sh_offset);
    EXPECT_LE(holders[0] + kNoticeLen, text.sh_offset + text.sh_size);
    EXPECT_EQ(occurrences(before, notice), std::vector<std::size_t>{note.sh_offset});

    TempDir dir;
    writeFile(dir.path("cpyrht.o"), before);
    EXPECT_EQ(stampIn(dir), 0);
    const Bytes after = readFile(dir.path("cpyrht.o"));
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(occurrences(after, groups(72)).empty());
    // Exactly twice now: where the placeholder stood, and in ".note".
    std::vector<std::size_t> expected{holders[0], note.sh_offset};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(occurrences(after, notice), expected);
    // Nothing else changed.
    Bytes restored = after;
    const Bytes placeholder = groups(72);
    std::copy(placeholder.begin(), placeholder.end(), restored.begin() + holders[0]);
    EXPECT_TRUE(restored == before);
}
