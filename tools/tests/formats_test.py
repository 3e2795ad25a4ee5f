"""Interchange formats of orvtape: samples made independently (by hand here,
or by the Debian hercules tools) must import to the expected blocks and
export back unchanged, and our exports must satisfy the outside readers
(hetmap, hetget, mtdump).  Usage: formats_test.py PATH-TO-ORVTAPE"""
import json, os, pathlib, random, re, shutil, struct, subprocess, sys, tempfile, unittest, zlib

TM = None  # a tapemark in a list of records
HAVE_HERCULES = all(shutil.which(t) for t in ("hetinit", "hetupd", "hetmap", "hetget"))
HAVE_SIMH = shutil.which("mtdump") is not None


def tap(records, pad=True):
    return b"".join(b"\0\0\0\0" if r is TM else (w := struct.pack("<I", len(r))) + r + b"\0" * (pad and len(r) & 1) + w
                    for r in records)


def tpc(records):
    return b"".join(b"\0\0" if r is TM else
                    struct.pack("<H", len(r)) + r + b"\0" * (len(r) & 1) for r in records)


def aws(records, chunk=65535, zlib_level=None):
    out, prev = b"", 0
    for r in records:
        if r is TM:
            out, prev = out + struct.pack("<HHBB", 0, prev, 0x40, 0), 0
            continue
        body, method = r, 0
        if zlib_level is not None and len(zlib.compress(r, zlib_level)) < len(r):
            body, method = zlib.compress(r, zlib_level), 1
        for i in range(0, len(body), chunk):
            part = body[i:i + chunk]
            flags = method | (0x80 if i == 0 else 0) | (0x20 if i + chunk >= len(body) else 0)
            out, prev = out + struct.pack("<HHBB", len(part), prev, flags, 0) + part, len(part)
    return out


RNG = random.Random(15)
TEXT = b"".join(b"record %05d of a compressible file\n" % i for i in range(3000))
RECORDS = [b"x", RNG.randbytes(4097), TEXT[:65535], TM, TEXT[:301], RNG.randbytes(65535), TM, TM]
# Past the first MiB, the first odd-length record and the first that compresses.
LARGE = [random.Random(16).randbytes(65534)] * 17 + [b"odd", TEXT[:4001], TM, TM]


class Formats(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="orvtape-formats-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_cmd(self, *args, status=0):
        p = subprocess.run(list(args), capture_output=True, cwd=self.dir, timeout=120)
        if status is not None:
            self.assertEqual(p.returncode, status, f"{' '.join(args)}\n{p.stderr.decode()}")
        return p

    def tool(self, *args, status=0):
        return self.run_cmd(TOOL, *args, status=status)

    def write(self, name, data):
        pathlib.Path(self.path(name)).write_bytes(data)

    def read(self, name):
        return pathlib.Path(self.path(name)).read_bytes()

    def records_of(self, image):
        """The image's blocks (bytes) and tapemarks (TM), from ls and get."""
        ls = json.loads(self.tool("ls", "--json", "--blocks", image).stdout)
        files = [self.tool("get", image, str(i)).stdout for i in range(len(ls["files"]))]
        out, pos = [], {}
        for b in ls["blocks"]:  # a tapemark has no file and no length
            at = pos.get(b.get("file"), 0)
            out.append(TM if b.get("tapemark") else files[b["file"]][at:at + b["length"]])
            pos[b.get("file")] = at + b.get("length", 0)
        return out

    def test_samples_import_to_their_blocks_and_export_back_unchanged(self):
        table = [  # format, how the sample is made, the blocks it holds, export options
            ("tap", lambda: self.write("s", tap(RECORDS)), RECORDS, []),
            ("aws", lambda: self.write("s", aws(RECORDS, chunk=1000)), RECORDS, ["--chunk", "1000"]),
            ("aws", lambda: self.write("s", aws(RECORDS)), RECORDS, []),  # records of 65535 bytes: one chunk each
            ("het", lambda: self.write("s", aws(RECORDS, zlib_level=4)), RECORDS,
             ["--compress", "zlib", "--level", "4"]),
            ("e11", lambda: self.write("s", tap(LARGE, pad=False)), LARGE, []),
            ("tpc", lambda: self.write("s", tpc(LARGE)), LARGE, []),
            ("het", lambda: self.write("s", aws(LARGE, zlib_level=4)), LARGE, ["--compress", "zlib", "--level", "4"]),
        ]
        if HAVE_HERCULES:
            table += [
                ("het", lambda: self.run_cmd("hetinit", "s", "VOL001", "OWNER"), None,
                 ["--compress", "zlib", "--level", "4"]),
                ("het", lambda: (self.write("p", aws(RECORDS)), self.run_cmd("hetupd", "-z", "p", "s")),
                 RECORDS, ["--compress", "zlib", "--level", "4"]),
                ("het", lambda: (self.write("p", aws(RECORDS[:5])), self.run_cmd("hetupd", "-b", "p", "s")),
                 RECORDS[:5], ["--compress", "bzip2", "--level", "4"]),
                ("aws", lambda: (self.write("p", aws(RECORDS)), self.run_cmd("hetupd", "-s", "p", "s")),
                 RECORDS, ["--chunk", "4096"]),
            ]
        for row, (fmt, make, expected, export_args) in enumerate(table):
            with self.subTest(row=row, fmt=fmt, export=export_args):
                make()
                p = self.tool("import", "-f", "s", "i.tape")
                self.assertIn(f"{fmt} format detected", p.stderr.decode().lower())
                if fmt == "e11":  # read as tap, its first odd-length record says what it may be
                    self.assertIn("name it with --from e11", self.tool("import", "-f", "s", "t.tape", "--from", "tap", status=1).stderr.decode())
                self.assertIn(b"clean", self.tool("check", "s").stdout)  # read in place
                if expected is None:  # hetinit's two 80-byte labels, as hetget extracts them
                    self.run_cmd("hetget", "-n", "s", "l", "1", "U", "0", "65535")
                    expected = [self.read("l")[:80], self.read("l")[80:], TM]
                    self.assertIn(b"clean", self.tool("check", "i.tape").stdout)  # complete as initialised
                    vol = json.loads(self.tool("ls", "--json", "i.tape").stdout)["volume"]
                    self.assertEqual((vol["scratch"], vol["dataSets"], vol["warnings"]), (True, [], []))
                self.assertEqual(self.records_of("i.tape"), expected)
                self.tool("export", "-f", "i.tape", f"back.{fmt.upper()}", *export_args)  # the format by extension
                self.assertEqual(self.read(f"back.{fmt.upper()}"), self.read("s"))
                self.tool("import", "-f", f"back.{fmt.upper()}", "again.tape", "--from", fmt)
                self.assertEqual(self.read("again.tape"), self.read("i.tape"))
        self.write("j.tap", b"\2\0\0\0ab")  # no format detected: the extension's reader says what is wrong
        self.assertIn("j.tap: offset 0: a record of 2 bytes is longer", self.tool("import", "j.tap", "j.tape", status=1).stderr.decode())

    @unittest.skipUnless(HAVE_HERCULES and HAVE_SIMH, "needs the hercules and simh packages")
    def test_outside_readers_agree_with_our_exports(self):
        for name, data in (("t", TEXT * 4), ("r", RNG.randbytes(150001)), ("o", b"odd")):
            self.write(name, data)
        self.tool("put", "-b", "30001", "v.tape", "t", "r")
        self.tool("put", "-a", "--compress", "-b", "65535", "v.tape", "t", "o")
        files = [TEXT * 4, self.read("r"), TEXT * 4, b"odd"]
        blocks = self.records_of("v.tape")[:-1]  # without the end-of-volume mark
        table = [  # format, export options, outside reader
            ("aws", ["--chunk", "4096"], "het"),
            ("het", [], "het"),
            ("het", ["--compress", "zlib", "--chunk", "1000"], "het"),
            ("het", ["--compress", "bzip2", "--level", "1"], "het"),
            ("tap", [], "-s"),
            ("e11", [], "-e"),
            ("tpc", [], "-c"),
        ]
        for fmt, args, reader in table:
            with self.subTest(fmt=fmt, args=args):
                self.tool("export", "-f", "v.tape", "x", "--to", fmt, *args)
                if reader == "het":
                    out = self.run_cmd("hetmap", "-f", "x").stdout.decode()
                    found = re.findall(r"Blocks\s*: (\d+)\nMin.*\nMax.*\nUncompressed bytes\s*: (\d+)", out)
                    self.assertEqual(found[:len(files)], [(str(n), str(len(f))) for n, f in
                                                          zip(self.blocks_per_file(blocks), files)])
                    for i, data in enumerate(files):
                        self.run_cmd("hetget", "-n", "x", "g", str(i + 1), "U", "0", "65535")
                        self.assertEqual(self.read("g"), data, f"hetget file {i + 1}")
                else:
                    out = self.run_cmd("mtdump", reader, "x").stdout.decode()
                    seen = [TM if "end of tape file" in line else int(line.split("length = ")[1].split()[0])
                            for line in out.splitlines() if "length = " in line or "end of tape file" in line]
                    self.assertEqual(seen, [TM if b is TM else len(b) for b in blocks])
                self.tool("import", "-f", "x", "back.tape", "--from", fmt,
                          *(["--no-compress"] if "--compress" in args else []))
                if fmt == "het" and not args:  # keeps which blocks are compressed
                    self.assertEqual(self.read("back.tape"), self.read("v.tape"))
                self.assertEqual(self.records_of("back.tape"), self.records_of("v.tape"))

    @unittest.skipUnless(HAVE_HERCULES, "needs the hercules package")
    def test_outside_readers_see_our_labels(self):
        self.write("t", TEXT[:20000])
        self.write("r", RNG.randbytes(70001))
        table = [  # put options (the first makes the volume), input, hetget options, get options
            (["--label", "ORV001", "--ebcdic", "--recfm", "FB", "--lrecl", "80", "-b", "8000"], "t",
             ["-a", "-s"], ["--ascii", "--strip"]),
            (["-a", "--name", "random.bytes", "-b", "30000"], "r", [], []),
            (["-a", "--ebcdic", "--recfm", "F", "--lrecl", "40", "--name", "T.F"], "t", ["-a"], ["--ascii"]),
        ]
        for ansi in ([], ["--ansi"]):
            for args, name, _, _ in table:
                self.tool("put", *args, *(ansi if "--label" in args else []), "v.tape", name)
            self.tool("export", "-f", "v.tape", "x", "--to", "aws")
            os.remove(self.path("v.tape"))
            vol = json.loads(self.tool("ls", "--json", "x").stdout)["volume"]
            out = self.run_cmd("hetmap", "-d", "x").stdout.decode()
            self.assertEqual(re.findall(r"vol=(\S+)", out), [vol["serial"]])
            self.assertEqual(re.findall(r"dsn=(\S+) .* blocks=(\d+)\n.*recfm=(\S+) +lrecl=(\d+) +blksize=(\d+)", out),
                             [(d["name"], str(d["blocks"]), d["recfm"], str(d["lrecl"]), str(d["blockSize"]))
                              for d in vol["dataSets"]])
            for i, (_, _, het_opts, get_opts) in enumerate(table):
                with self.subTest(ansi=ansi, dataset=i + 1):
                    self.run_cmd("hetget", *het_opts, "x", "g", str(i + 1))
                    self.assertEqual(self.read("g"), self.tool("get", "--dataset", str(i + 1), "x", *get_opts).stdout)

    def test_foreign_files_read_in_place_as_after_an_import(self):
        self.write("t", TEXT[:20000])
        self.write("r", RNG.randbytes(70001))
        self.tool("put", "--label", "ORV001", "--recfm", "FB", "--lrecl", "80", "-b", "8000", "v.tape", "t")
        self.tool("put", "-a", "--compress", "-b", "30000", "v.tape", "r")

        def seen(path):  # ls, every file, a data set as text, block 4, check's status
            ls = json.loads(self.tool("ls", "--json", "--sum", path).stdout)
            for key in ("image", "imageBytes", "format"):
                ls.pop(key, None)
            return (ls, [self.tool("get", path, str(i)).stdout for i in range(len(ls["files"]))],
                    self.tool("get", "--dataset", "1", "--ascii", path).stdout,
                    self.tool("dump", path, "4").stdout.split(b"\n", 1)[1], self.tool("check", path).returncode)

        expected = seen("v.tape")
        for fmt in ("tap", "e11", "tpc", "aws", "het"):
            with self.subTest(fmt=fmt):
                x = "x." + fmt
                self.tool("export", "-f", "v.tape", x)
                self.assertEqual(seen(x), expected)
                self.assertEqual("format" in json.loads(self.tool("ls", "--json", x).stdout), fmt != "aws")  # aws is ours
                whole = self.read(x)
                if fmt != "aws":  # an aws file is an image: put appends to it
                    err = self.tool("put", "-a", x, "t", status=2).stderr.decode()
                    self.assertIn("file; put appends to orvtape images only", err)
                    self.assertIn(b"recover salvages orvtape images only", self.tool("recover", x, "r.tape", status=2).stderr)
                    self.assertEqual(self.read(x), whole)
                self.write(x, whole[:-3])  # its reader, named by the extension, says where it breaks
                at = f"offset {len(whole) - (6 if fmt in ('aws', 'het') else 4)}"
                self.assertIn(at, self.tool("ls", x, status=1).stderr.decode())
                self.assertIn(at, self.tool("check", x, status=1).stdout.decode())

    def test_records_of_every_class_are_listed_checked_and_extracted(self):
        def word(cls, data):
            w = struct.pack("<I", cls << 28 | len(data))
            return w + data + b"\0" * (len(data) & 1) + w
        self.write("c.tap", struct.pack("<I", 0xFFFFFFFE) + word(0, b"abc") + word(8, b"bad!") + word(3, b"pp") +
                   word(14, b"about") + word(9, b"r9") + struct.pack("<II", 0x70000005, 0xFFFFFFFE) + b"\0" * 8)
        ls = json.loads(self.tool("ls", "--json", "--blocks", "c.tap").stdout)
        self.assertEqual(ls["format"], "SIMH .tap")
        self.assertEqual([(b.get("block"), b.get("class"), b.get("length")) for b in ls["blocks"]],
                         [(None, "erase gap", 0), (0, None, 3), (1, "bad", 4), (2, "private 3", 2),
                          (3, "description", 5), (4, "reserved 9", 2), (5, "marker", 0), (None, "erase gap", 0),
                          (6, None, None), (7, None, None)])
        self.assertEqual([f["blocks"] for f in ls["files"]], [2])  # as imported: the bad record, no others
        self.write("m.tap", word(0, b"abc") + bytes(4))  # one tapemark after data closes the file, ends nothing
        self.assertEqual([f["blocks"] for f in json.loads(self.tool("ls", "--json", "m.tap").stdout)["files"]], [1])
        check = json.loads(self.tool("check", "--json", "c.tap", status=1).stdout)
        self.assertEqual((check["records"], check["defect"]["offset"]), (5, 16))
        self.assertIn("block 1 at offset 16", check["defect"]["message"])  # gaps have no number, as import says
        self.assertIn("record 1", self.tool("import", "c.tap", "c.tape").stderr.decode())
        self.assertIn(b"Format: SIMH .tap\n  offset 0  erase gap\n  block 0  offset 4  data 3\n"
                      b"  block 1  offset 16  data 4  class bad\n", self.tool("ls", "--blocks", "c.tap").stdout)
        self.assertEqual(self.tool("get", "--record", "3", "c.tap").stdout, b"about")
        self.assertIn(b"class description", self.tool("dump", "c.tap", "3").stdout)

    @staticmethod
    def blocks_per_file(blocks):  # the data blocks before each tapemark
        marks = [i for i, b in enumerate(blocks) if b is TM]
        return [m - p - 1 for p, m in zip([-1] + marks, marks)]


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
