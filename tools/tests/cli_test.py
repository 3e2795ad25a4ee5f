#!/usr/bin/env python3
"""End-to-end tests of orvtape: the built tool run as a separate process on
real files.  Usage: cli_test.py PATH_TO_ORVTAPE"""
import json
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = None
NOBODY = 65534


def as_nobody():
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def small_file_limit():
    # Writes beyond 64 KiB fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvtape-cli-")
        os.chmod(self.dir, 0o755)  # the unprivileged child must reach its files
        self.rng = random.Random(self.id())

    def tearDown(self):
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_tool(self, *args, status=0, stdin=None, preexec=None):
        p = subprocess.run([TOOL, *args], input=stdin, capture_output=True, cwd=self.dir,
                           preexec_fn=preexec, timeout=120)
        if status is not None:
            self.assertEqual(p.returncode, status,
                             f"orvtape {' '.join(args)}\nstdout: {p.stdout[-2000:]}\n"
                             f"stderr: {p.stderr.decode(errors='replace')}")
        return p

    def make(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def listing(self, image, *extra):
        return json.loads(self.run_tool("ls", "--json", *extra, image).stdout)

    def volume(self, sizes, *put_args):
        files = [self.make(f"in{i}", self.rng.randbytes(n)) for i, n in enumerate(sizes)]
        self.run_tool("put", *put_args, "v.tape", *files)
        return files

    def assert_files(self, image, files):
        for i, f in enumerate(files):
            out = self.run_tool("get", image, str(i)).stdout
            with open(f, "rb") as src:
                self.assertEqual(out, src.read(), f"tape file {i}")

    def header_offsets(self, image):
        data = self.read(image)
        offs, pos = [], 0
        while pos + 6 <= len(data):
            offs.append(pos)
            pos += 6 + struct.unpack_from("<H", data, pos)[0]
        return offs


class RoundTrip(Cli):
    SIZES = [0, 1, 2, 4095, 4096, 4097, 32767, 32768, 32769, 3 * 32768 + 5, 200001]

    def test_sizes_around_the_block_size_with_every_write_setting(self):
        for args in ([], ["--block-size", "4096", "--compress"],
                     ["--block-size", "4K", "--scramble", "--segment-size", "100", "--sync"],
                     ["--compress", "--scramble", "--block-size", "65536"]):
            with self.subTest(args=args):
                files = self.volume(self.SIZES, *args)
                self.assert_files("v.tape", files)
                self.run_tool("check", "v.tape")
                ls = self.listing("v.tape", "--blocks")
                self.assertEqual([f["bytes"] for f in ls["files"]], self.SIZES)
                bs = 4096 if "4096" in args or "4K" in args else (65536 if "65536" in args else 32768)
                self.assertEqual(ls["files"][9]["blocks"], -(-self.SIZES[9] // bs))
                data = [b for b in ls["blocks"] if not b.get("tapemark")]
                if "--segment-size" in args:
                    self.assertTrue(all(b["segments"] == -(-b["stored"] // 100) for b in data))
                if "--scramble" in args:
                    self.assertTrue(all("scrambled" in b["transforms"] for b in data))

    def test_stdin_text_listing_and_output_file(self):
        data = self.rng.randbytes(70000)
        self.run_tool("put", "v.tape", "-", stdin=data)
        self.run_tool("get", "v.tape", "0", "out.bin")
        self.assertEqual(self.read("out.bin"), data)
        text = self.run_tool("ls", "v.tape").stdout.decode()
        self.assertIn("File-0", text)
        self.assertIn("Bytes-70,000", text)
        self.assertIn("Total-1", text)
        blocks = self.run_tool("ls", "--blocks", "v.tape").stdout.decode()
        self.assertEqual(blocks.count("stored 32768  data 32768"), 2)
        self.assertIn("(end of volume)", blocks)


    def test_blocks_beyond_the_default_limit(self):
        # Written by a host that raised its block limit: 5,000,000 bytes in
        # segments of 65535, then the two closing tapemarks.
        data, image, prev, pos = self.rng.randbytes(5000000), bytearray(), 0, 0
        while pos < len(data):
            n = min(65535, len(data) - pos)
            flags = (0x80 if pos == 0 else 0) | (0x20 if pos + n == len(data) else 0)
            image += struct.pack("<HHBB", n, prev, flags, 0) + data[pos:pos + n]
            prev, pos = n, pos + n
        image += struct.pack("<HHBB", 0, prev, 0x40, 0) + struct.pack("<HHBB", 0, 0, 0x40, 0)
        self.make("big.tape", bytes(image))
        self.run_tool("check", "big.tape")
        self.assertEqual(self.run_tool("get", "big.tape", "0").stdout, data)
        self.run_tool("copy", "--compress", "big.tape", "c.tape")
        self.assertEqual(self.run_tool("get", "c.tape", "0").stdout, data)
        self.assertIn("length 5000000", self.run_tool("dump", "c.tape", "0").stdout.decode())
        self.run_tool("export", "c.tape", "c.tap", "--to", "tap")
        self.run_tool("import", "c.tap", "i.tape", "--from", "tap")
        self.assertEqual(self.run_tool("get", "i.tape", "0").stdout, data)
        self.make("cut.tap", self.read("c.tap")[:4000000])
        p = self.run_tool("import", "cut.tap", "j.tape", "--from", "tap", status=1)
        self.assertIn("longer than the rest of the file", p.stderr.decode())


class Append(Cli):
    def test_append_after_put_init_and_to_a_new_image(self):
        files = self.volume([10, 0, 5000])
        more = [self.make("more", self.rng.randbytes(40000)), self.make("empty", b"")]
        self.run_tool("put", "--append", "--compress", "v.tape", *more)
        self.assert_files("v.tape", files + more)
        self.assertEqual(self.listing("v.tape")["total"]["files"], 5)
        self.run_tool("init", "fresh.tape")
        self.assertEqual(self.listing("fresh.tape")["total"]["files"], 0)
        self.run_tool("put", "--append", "fresh.tape", more[0])
        self.run_tool("put", "--append", "new.tape", more[0])
        self.assert_files("fresh.tape", more[:1])
        self.assert_files("new.tape", more[:1])

    def test_failures_keep_the_files_already_on_the_volume(self):
        files = self.volume([3000, 7000])
        before = self.read("v.tape")
        p = self.run_tool("put", "--append", "v.tape", "no-such-file", status=1)
        self.assertIn("no-such-file", p.stderr.decode())
        self.assertEqual(self.read("v.tape"), before)
        big = self.make("big", self.rng.randbytes(200000))
        p = self.run_tool("put", "--append", "v.tape", files[0], big, status=1,
                          preexec=small_file_limit)
        self.assertIn("v.tape: cannot write a block (library code -12", p.stderr.decode())
        self.run_tool("check", "v.tape")
        self.assert_files("v.tape", files + files[:1])
        self.assertEqual(self.listing("v.tape")["total"]["files"], 3)


class Flags(Cli):
    def test_capacity_quiet_version_help_and_force(self):
        self.volume([1000])
        big = self.make("big", self.rng.randbytes(100000))
        p = self.run_tool("put", "--capacity", "50K", "cap.tape", big)
        self.assertIn("end-of-tape warning", p.stderr.decode())
        self.assert_files("cap.tape", [big])
        p = self.run_tool("put", "--quiet", "--capacity", "1M", "q.tape", big)
        self.assertEqual(p.stderr, b"")
        self.assertRegex(self.run_tool("--version").stdout.decode(), r"^orvtape \d+\.\d+")
        for cmd in ("put", "ls", "check", "get", "dump", "copy", "export", "import", "recover"):
            h1 = self.run_tool("help", cmd).stdout.decode()
            self.assertEqual(h1, self.run_tool(cmd, "--help").stdout.decode())
            self.assertIn(cmd, h1)
        self.assertIn("--block-size", self.run_tool("help", "put").stdout.decode())
        self.run_tool("init", "v.tape", status=1)
        self.run_tool("init", "--force", "v.tape")
        self.assertEqual(self.listing("v.tape")["total"]["files"], 0)

    def test_dump_hex_and_ebcdic(self):
        ebcdic_hello = bytes([0xC8, 0xC5, 0xD3, 0xD3, 0xD6, 0x40, 0xF1, 0xF2])
        src = self.make("e", ebcdic_hello + bytes(range(40)))
        self.run_tool("put", "v.tape", src)
        plain = self.run_tool("dump", "v.tape", "0").stdout.decode()
        self.assertIn("length 48", plain)
        self.assertIn("c8 c5 d3 d3 d6 40 f1 f2", plain)
        self.assertIn("|HELLO 12", self.run_tool("dump", "--ebcdic", "v.tape", "0").stdout.decode())
        self.assertIn("tapemark", self.run_tool("dump", "v.tape", "1").stdout.decode())
        self.run_tool("dump", "v.tape", "3", status=1)

    def test_copy_changes_transforms_and_verifies(self):
        files = self.volume([100000, 0, 7], "--scramble")
        self.run_tool("copy", "--compress", "--no-scramble", "--segment-size", "1000",
                      "v.tape", "c.tape")
        ls = self.listing("c.tape", "--blocks")
        data = [b for b in ls["blocks"] if not b.get("tapemark")]
        self.assertTrue(all(b["transforms"] in ("compressed", "plain") for b in data))
        self.assertTrue(any(b["segments"] > 1 for b in data))
        self.assert_files("c.tape", files)
        self.run_tool("copy", "c.tape", "c.tape", status=2)
        self.run_tool("copy", "v.tape", "c.tape", status=1)  # not empty, no --force
        self.run_tool("copy", "--compress", "--no-compress", "v.tape", "x.tape", status=2)


class Errors(Cli):
    def test_missing_files_and_bad_arguments(self):
        for cmd in (["ls", "nope.tape"], ["get", "nope.tape", "0"], ["dump", "nope.tape", "0"],
                    ["copy", "nope.tape", "c.tape"], ["export", "nope.tape", "x", "--to", "tap"]):
            p = self.run_tool(*cmd, status=None)
            self.assertNotEqual(p.returncode, 0)
            err = p.stderr.decode()
            self.assertIn("nope.tape", err)
            self.assertIn("No such file or directory", err)
            self.assertEqual(err.count("\n"), 1)
        self.run_tool("check", "nope.tape", status=2)
        for bad in (["frobnicate"], [], ["ls"], ["put", "v.tape"], ["get", "v.tape", "x"],
                    ["put", "--segment-size", "5", "v.tape", "f"], ["check", "--bogus", "v"],
                    ["export", "a", "b", "--to", "zip"], ["help", "nothing"]):
            self.run_tool(*bad, status=2)
        self.volume([10])
        before = self.read("v.tape")
        for same in (["put", "--append", "v.tape", "v.tape"], ["recover", "-f", "v.tape", "v.tape"],
                     ["export", "-f", "v.tape", "v.tape", "--to", "tap"],
                     ["import", "-f", "v.tape", "v.tape", "--from", "tap"]):
            self.assertIn("v.tape: is the source itself", self.run_tool(*same, status=2).stderr.decode())
        self.assertEqual(self.read("v.tape"), before)
        p = self.run_tool("put", "--block-size", "5M", "v.tape", self.path("in0"), status=2)
        self.assertIn("--block-size", p.stderr.decode())
        p = self.run_tool("get", "v.tape", "1", status=1)
        self.assertIn("no tape file 1", p.stderr.decode())
        p = self.run_tool("get", "v.tape", "0", "no/dir/out", status=1)
        self.assertEqual(p.stderr.decode(),
                         "orvtape: no/dir/out: cannot create the file (No such file or directory)\n")

    def test_refusals_seen_by_an_unprivileged_user(self):
        self.volume([5000])
        os.chmod(self.path("v.tape"), 0o600)
        for cmd in (["ls", "v.tape"], ["get", "v.tape", "0"], ["check", "v.tape"]):
            p = self.run_tool(*cmd, status=None, preexec=as_nobody)
            self.assertEqual(p.returncode, 2 if cmd[0] == "check" else 2)
            self.assertIn("v.tape: cannot open the image (library code -1, Permission denied)",
                          p.stderr.decode())
        os.chmod(self.path("v.tape"), 0o644)
        before = self.read("v.tape")
        p = self.run_tool("put", "--append", "v.tape", self.path("in0"), status=1,
                          preexec=as_nobody)
        self.assertIn("v.tape: the image cannot be written", p.stderr.decode())
        self.assertIn("Permission denied", p.stderr.decode())
        self.assertEqual(self.read("v.tape"), before)
        self.run_tool("check", "v.tape", preexec=as_nobody)


class Damage(Cli):
    def damaged(self, how):
        files = self.volume([20000, 70000, 3000, 9000], "--block-size", "8192")
        data = bytearray(self.read("v.tape"))
        offs = self.header_offsets("v.tape")
        how(data, offs)
        self.make("d.tape", bytes(data))
        return files, offs

    def check_defect(self, image, offset=None, text=None):
        p = self.run_tool("check", image, status=1)
        out = p.stdout.decode()
        if offset is not None:
            self.assertIn(f"offset {offset},", out)
        if text:
            self.assertIn(text, out)
        return out

    def test_check_flags_what_validation_and_reading_find(self):
        def garbage(data, offs):
            data[offs[6] + 4] = 0x1F
        _, offs = self.damaged(garbage)
        out = self.check_defect("d.tape", offs[6], "reserved flag bits")
        self.assertIn(f"defect after 6 good headers", out)
        self.assertIn("header bytes 00 20", out)
        j = json.loads(self.run_tool("check", "--json", "d.tape", status=1).stdout)
        self.assertEqual((j["clean"], j["headers"], j["defect"]["offset"]), (False, 6, offs[6]))

        _, offs = self.damaged(lambda data, offs: data.__delitem__(slice(offs[-3] + 3, None)))
        self.check_defect("d.tape", offs[-3], "ends inside this header")
        self.damaged(lambda data, offs: data.__delitem__(slice(offs[-2] - 10, None)))
        self.check_defect("d.tape", text="the image is cut short")
        p = self.run_tool("ls", "d.tape", status=1)
        self.assertIn(f"d.tape: block 17 at offset {offs[-3]}:", p.stderr.decode())
        self.assertIn("File-2", p.stdout.decode())
        self.run_tool("get", "d.tape", "3", "out", status=1)
        self.assertFalse(os.path.exists(self.path("out")))
        p = self.run_tool("recover", "d.tape", "r.tape")
        self.assertIn("2 tapemarks added", p.stdout.decode())
        self.run_tool("check", "r.tape")
        self.assertEqual(self.run_tool("get", "r.tape", "3").stdout, self.read("in3")[:8192])

        self.run_tool("put", "--segment-size", "1000", "m.tape", self.make("x", bytes(5000)))
        data = self.read("m.tape")
        self.make("m2.tape", data[:1006])
        self.check_defect("m2.tape", 0, "lacks the last-segment flag")

        self.run_tool("put", "--compress", "z.tape", self.make("z", bytes(50000)))
        z = bytearray(self.read("z.tape"))
        z[30] ^= 0xFF  # inside the bzip2 stream
        self.make("z.tape", bytes(z))
        self.check_defect("z.tape", 0, "does not read")

    def test_recover_skips_the_damage_in_the_middle(self):
        def smash(data, offs):  # from file 1's second block into its second last one
            start, end = offs[5] + 2, offs[12] - 100
            data[start:end] = bytes(self.rng.randrange(256) for _ in range(end - start))
        files, offs = self.damaged(smash)
        self.check_defect("d.tape")
        p = self.run_tool("recover", "d.tape", "r.tape")
        self.assertRegex(p.stdout.decode(), rf"skipped \d+ damaged bytes at offsets {offs[5]} to")
        self.run_tool("check", "r.tape")
        ls = self.listing("r.tape")
        self.assertEqual(ls["total"]["files"], 4)
        for i in (0, 2, 3):
            self.assertEqual(self.run_tool("get", "r.tape", str(i)).stdout, self.read(f"in{i}"))
        # File 1 keeps its first block and its last one, which follows the damage.
        whole, salvaged = self.read("in1"), self.run_tool("get", "r.tape", "1").stdout
        self.assertEqual(salvaged, whole[:8192] + whole[8 * 8192:])

        self.make("junk.tape", self.rng.randbytes(5000))
        self.run_tool("recover", "junk.tape", "j.tape")
        self.run_tool("check", "j.tape")
        self.assertEqual(self.listing("j.tape")["total"]["files"], 0)


class Tap(Cli):
    @staticmethod
    def record(data, flag=0):
        word = struct.pack("<I", len(data) | flag)
        return word + data + (b"\0" if len(data) & 1 else b"") + word

    def test_export_import_round_trip(self):
        files = self.volume([0, 1, 3, 32769, 100000], "--compress", "--scramble")
        self.run_tool("export", "v.tape", "v.tap", "--to", "tap")
        tap = self.read("v.tap")
        self.assertEqual(tap[:4], b"\0\0\0\0")  # the empty first file is a bare tapemark
        self.assertEqual(tap[4:14], self.record(self.read("in1")))
        self.run_tool("import", "v.tap", "w.tape", "--from", "tap")
        self.assert_files("w.tape", files)
        self.run_tool("export", "w.tape", "w.tap", "--to", "tap")
        self.assertEqual(self.read("w.tap"), tap)
        self.run_tool("export", "w.tape", "w.tap", "--to", "tap", status=1)

    def test_import_of_odd_lengths_error_records_gaps_and_end_of_medium(self):
        a, b, c = b"abc", self.rng.randbytes(4097), b"flagged!!"
        gap, eom = struct.pack("<I", 0xFFFFFFFE), struct.pack("<I", 0xFFFFFFFF)
        self.make("in.tap", self.record(a) + gap + self.record(b) + b"\0\0\0\0" +
                  self.record(c, 0x80000000) + b"\0\0\0\0" + b"\0\0\0\0" + eom + b"junk")
        p = self.run_tool("import", "in.tap", "i.tape", "--from", "tap")
        self.assertIn("read with an error", p.stderr.decode())
        self.assertEqual(self.run_tool("get", "i.tape", "0").stdout, a + b)
        self.assertEqual(self.run_tool("get", "i.tape", "1").stdout, c)
        self.assertEqual(self.listing("i.tape")["total"]["files"], 2)
        good = self.record(a)
        for broken in (good[:-1], good[:-4] + b"\5\0\0\0", b"\1\0"):
            self.make("bad.tap", broken)
            p = self.run_tool("import", "-f", "bad.tap", "b.tape", "--from", "tap", status=1)
            self.assertIn("bad.tap: offset 0", p.stderr.decode())
            self.assertFalse(os.path.exists(self.path("b.tape")))


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
