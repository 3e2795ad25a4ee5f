#!/usr/bin/env python3
"""End-to-end tests of orvtape: the built tool run as its own process on real
files.  Usage: cli_test.py PATH_TO_ORVTAPE; exit status 0 when every check held."""
import bz2, fcntl, hashlib, json, os, pathlib, random, re, resource, shutil, signal, struct, subprocess, sys, tempfile, time

TOOL, DIR = os.path.abspath(sys.argv[1]), pathlib.Path(tempfile.mkdtemp(prefix="orvtape-cli-"))
DIR.chmod(0o755)  # the unprivileged child must reach its files
rng, failures = random.Random(7), []
nobody = lambda: (os.setgid(65534), os.setuid(65534))  # root would ignore permission bits
# No thread beyond the process itself (a leak checker would need one at exit); a uid of its own, as others' processes count.
one_thread = lambda: (os.environ.update(ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"),
                      resource.setrlimit(resource.RLIMIT_NPROC, (1, 1)), os.setgid(43210), os.setuid(43210))
small = lambda: (signal.signal(signal.SIGXFSZ, signal.SIG_IGN),  # writes past 64 KiB fail
                 resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536)))
stdin_from = lambda name: lambda: os.dup2(os.open(DIR / name, os.O_RDONLY), 0)
to_full = lambda: os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
stdout_to = lambda name: lambda: os.dup2(os.open(DIR / name, os.O_WRONLY | os.O_CREAT, 0o644), 1)


def expect(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def run(*args, status=0, stdin=None, child=None):
    p = subprocess.run([TOOL, *args], input=stdin, capture_output=True, cwd=DIR,
                       preexec_fn=child, timeout=120)
    expect(p.returncode == status, f"orvtape {' '.join(args)}: status {p.returncode}, not "
           f"{status}\n{p.stderr.decode(errors='replace')}")
    return p


layout = lambda image: json.loads(run("ls", "--json", "--blocks", image).stdout)
tape_files = lambda image, n: [run("get", image, str(i)).stdout for i in range(n)]


def rec(data, flag=0):  # a tap record: length word, data, pad to even, length word
    word = struct.pack("<I", len(data) | flag)
    return word + data + b"\0" * (len(data) & 1) + word


# Sizes around a 4 KiB block, half random and half zeros so that compression pays off.
SIZES = [0, 1, 4095, 4096, 4097, 70001]
DATA, IN = [rng.randbytes(n // 2) + bytes(n - n // 2) for n in SIZES], [f"in{n}" for n in SIZES]
[(DIR / name).write_bytes(data) for name, data in zip(IN, DATA)]
for settings, seg, xform in (([], 65535, "plain"), (["--compress"], 65535, "compressed"),
                             (["--scramble", "--segment-size", "99"], 99, "scrambled"),
                             (["--compress", "--scramble", "--segment-size", "1001", "--sync"],
                              1001, "compressed+scrambled")):
    run("put", "-b", "4K", *settings, "v.tape", *IN)
    expect(tape_files("v.tape", len(IN)) == DATA, f"put/get round trip with {settings}")
    ls = layout("v.tape")
    stored = [b for b in ls["blocks"] if "tapemark" not in b]
    expect([(f["bytes"], f["blocks"]) for f in ls["files"]] == [(n, -(-n // 4096)) for n in SIZES]
           and ls["total"]["files"] == len(SIZES) and ls["total"]["bytes"] == sum(SIZES)
           and xform in {b["transforms"] for b in stored} and all(b["stored"] <= b["length"] for b in stored)
           and all(b["segments"] == -(-b["stored"] // seg) for b in stored), f"ls after {settings}")
run("put", "-a", "--compress", "v.tape", IN[5], IN[0])
VOLUME, V = DATA + [DATA[5], DATA[0]], (DIR / "v.tape").read_bytes()
EBCDIC = bytes([0xC8, 0xC5, 0xD3, 0xD3, 0xD6, 0x40, 0xF1, 0xF2]) + bytes(range(40))
run("put", "e.tape", "-", stdin=EBCDIC)

# Zeros from file 1's second block into its seventh: recover keeps the blocks around them.
run("put", "-b", "4K", "d.tape", IN[4], IN[5], IN[2])
offs, d = [b["offset"] for b in layout("d.tape")["blocks"]], bytearray((DIR / "d.tape").read_bytes())
CUTS = [(6, "0 good headers", 0, "the last segment holds 4096 payload bytes but only 0 remain before the end of the file: the image is cut short"),
        (offs[21] - 1, "20 good headers", offs[20], "the last segment holds 369 payload bytes but only 368 remain"),  # file 1's last block
        (offs[21] + 1, "21 good headers", offs[21], "the image ends inside this header: fewer than 6 bytes remain")]
[(DIR / f"cut{n}.tape").write_bytes(d[:n]) for n, *_ in CUTS]
run("put", "--segment-size", "1000", "hc.tape", IN[4])
HC = (DIR / "hc.tape").read_bytes()
[(DIR / f"hc{n}.tape").write_bytes(HC[:n]) for n in (1009, 2012, 3000)]  # in the second header, after the second segment, in the third payload
HCUT = "the image ends inside a header, or the read failed (library code -2)\n"
d[offs[4] + 2:offs[10] - 100] = bytes(offs[10] - 102 - offs[4])
(DIR / "d.tape").write_bytes(d)

# Odd lengths and a record beyond the default block limit must come back byte for byte.
BIG, TM = rng.randbytes(2_500_000) + bytes(2_500_001), b"\0\0\0\0"
(DIR / "rt.tap").write_bytes(rec(DATA[1]) + rec(BIG) + TM + rec(DATA[3]) + TM + TM)
(DIR / "dsc.tap").write_bytes(rec(b"tape notes", 0xE0000000) + rec(DATA[1]) + TM + TM)  # a description record
# Gaps (the lowest half-gap, a half-gap, a gap) are skipped, a flagged record is kept, nothing after the end of medium is read.
(DIR / "m.tap").write_bytes(rec(b"abc") + b"\0\0\xff\xff\xfe\xff\xff\xff" + rec(DATA[4]) + TM +
                            rec(b"flagged!!", 0x80000000) + TM + TM + b"\xff" * 4 + b"junk")


def image(*payloads):  # compressed blocks of these stored payloads (None: a tapemark), then the end mark
    out, prev = b"", 0
    for p in payloads + (None, None):
        out += struct.pack("<HHBB", len(p), prev, 0xA0, 0x81) + p if p else struct.pack("<HHBB", 0, prev, 0x40, 0)
        prev = len(p) if p else 0
    return out


# bzip2 streams with a byte spoilt, no file, no end mark.
bad = bytearray(bz2.compress(b"orvtape " * 500))
bad[len(bad) // 2] ^= 0xFF
for name, data in (("empty.tape", b""), ("crc.tape", image(b"\x20\x9f" + bad, b"\x20\x9f" + bad)),
                   ("crc1.tape", image(b"\x20\x9f" + bad, None, b"\x20\x9f" + bz2.compress(b"orvtape " * 500))), ("noend.tape", V[:-12])):
    (DIR / name).write_bytes(data)
os.link(DIR / "v.tape", DIR / "hl.tape")

# Label blocks by column, in either code, and the data set each group must list as.
hdr1 = lambda dsn, seq, made, n, high="    ": f"1{dsn:17}VOL001{1:04}{seq:04}{'':6}{made} 000000{n:06}{'':16}{high}"
hdr2 = lambda f, blk, lrecl, attr: f"2{f}{blk:05}{lrecl:05}{'':23}{attr}"
vrec = lambda *rs: struct.pack(">HH", 4 + sum(len(r) + 4 for r in rs), 0) + b"".join(
    struct.pack(">HH", len(r) + 4, 0) + r for r in rs)
LABELS = [  # code, HDR1, HDR2, data blocks (None: none), EOF1 (None: none), listed as
    ("cp037", hdr1("SYS1.TEST", 1, " 99365", 0), hdr2("F", 160, 80, "B"), [(b"a" * 40 + b"\x40" * 40) * 2] * 2,
     hdr1("SYS1.TEST", 1, " 99365", 2), [1, "SYS1.TEST", "FB", 80, 160, 2, 320, "1999-12-31"]),
    ("ascii", hdr1("ANSI.V", 2, "024060", 0), hdr2("V", 200, 100, "B"), [vrec(b"rec one".decode().encode("cp037"), b"record two".decode().encode("cp037"))],
     hdr1("ANSI.V", 2, "024060", 1), [2, "ANSI.V", "VB", 100, 200, 1, 29, "2024-02-29"]),
    ("cp037", hdr1("BIG", 3, "026366", 0), hdr2("U", 999, 0, " "), [b"u"], hdr1("BIG", 3, "026366", 1, "0001"),
     [3, "BIG", "U", 0, 999, 1, 1, ""]),
    ("cp037", hdr1("CAFÉ", 4, "000001", 0), hdr2("U", 9, 0, " "), [b"c"], hdr1("CAFÉ", 4, "000001", 2),
     [4, "CAF\\xc9", "U", 0, 9, 1, 1, "2000-01-01"]),  # bytes that are not UTF-8 reach the JSON escaped
    ("ascii", hdr1("NODATA", 5, "000001", 0), hdr2("U", 9, 0, " "), None, None, [5, "NODATA", "U", 0, 9, 0, 0, "2000-01-01"]),
]
LABEL_WARNINGS = ["data set 3 (BIG): EOF1 counts 1000001 blocks, the data holds 1",
                  "data set 4 (CAF\\xc9): EOF1 counts 2 blocks, the data holds 1",
                  "data set 5 (NODATA): header labels without data"]
lab = lambda text, code: rec(text.ljust(80).encode(code))
tap_ = lab("VOL1VOL001" + " " * 31 + "OWNER", "cp037") + lab("UVL1", "cp037")  # labels only passed over too
for code, h1, h2, data, e1, _ in LABELS:
    tap_ += lab("HDR" + h1, code) + lab("HDR" + h2, code) + lab("UHL1", code) + TM
    tap_ += b"".join(map(rec, data)) + TM if data is not None else b""
    tap_ += lab("EOF" + e1, code) + lab("EOF" + h2, code) + lab("UTL1", code) + TM if e1 else b""
(DIR / "lab.tap").write_bytes(tap_ + TM)
# Data that reads as labels is data wherever the labelled layout puts none; and EOF1
# counts a million blocks and more modulo a million.
FAKE = lab("VOL1FAKE01", "ascii")[4:-4] + lab("HDR1FAKE", "cp037")[4:-4] + lab("EOF1", "ascii")[4:-4] + b"tail"
(DIR / "fake.lab").write_bytes(FAKE)
(DIR / "m.txt").write_bytes(b"m" * 1_000_001)
# Spanned records (VS) out of order, as check words it at a block and at the data set's end.
seg = lambda kind, r=b"ab": struct.pack(">HBB", len(r) + 4, kind, 0) + r
blk = lambda *segs: struct.pack(">HH", 4 + sum(map(len, segs)), 0) + b"".join(segs)
SPANS = [([blk(seg(1))], "block 0 of the data set: its spanned record has no last segment"),
         ([blk(seg(1)), blk(seg(0))], "block 1 of the data set: a new record begins at byte 4 while the spanned record begun in block 0")]
for i, (blocks, _) in enumerate(SPANS):
    (DIR / f"vs{i}.tap").write_bytes(lab("VOL1VOL001", "ascii") + lab("HDR" + hdr1("S", 1, "024060", 0), "ascii") +
                                     lab("HDR" + hdr2("V", 200, 100, "S"), "ascii") + TM + b"".join(map(rec, blocks)) +
                                     TM + lab("EOF" + hdr1("S", 1, "024060", len(blocks)), "ascii") + TM + TM)
(DIR / "mb.bin").write_bytes(MB := b"".join(random.Random(1).randbytes(1 << 19) + bytes(1 << 19) for _ in "ab"))  # 1 MiB blocks
(DIR / "lt.txt").write_bytes(LINES := b"HELLO WORLD\n\nthe third line\n" * 20)
(DIR / "bl.txt").write_bytes((b"x" * 50 + b"\n") * 25000)
[(DIR / f"open{n}.tape").write_bytes(V[:-n]) for n in (6, 12, 18)]  # v.tape up to its end mark, its last file's mark, its last data block

# (command line, exit status, fragments of stdout+stderr or, as bytes, the
# exact stdout[, child setup]), in order: later rows use earlier results.
TABLE = [
    (["get", "e.tape", "0", "e.out"], 0, []),
    (["dump", "e.tape", "0"], 0, ["block 0  offset 0  length 48  stored 48  segments 1  plain\n00000000  c8 c5 d3 d3 d6 40 f1 f2  "
                                  "00 01 02 03 04 05 06 07  |.....@..........|\n", "1e 1f  20 21 22 23 24 25 26 27  |........ !\"#$%&'|\n"]),
    (["dump", "--ebcdic", "e.tape", "0"], 0, ["07  |HELLO 12........|\n", "27  |................|\n"]),
    (["dump", "e.tape", "3"], 1, ["e.tape: has no block 3 (it holds 3)\n"]),
    (["get", "--record", "2147483647", "e.tape"], 1, ["e.tape: has no block 2147483647 (it holds 3)\n"]),  # the largest asked
    (["get", "e.tape", "0", "e.out"], 1, ["e.out: exists and is not empty; use --force"]),
    (["put", "-a", "e.tape", "-"], 0, [], lambda: os.close(0)),  # reads nothing, not the image
    (["get", "e.tape", "1"], 0, b""),
    (["init", "k.tape"], 0, []),
    (["put", "-a", "k.tape", IN[2], IN[5]], 1, ["k.tape: cannot write a block (library code -12, File too large)"], small),
    (["put", "k2.tape", IN[2], IN[5]], 1, ["k2.tape: cannot write a block", "File too large"], small),
    (["get", "k.tape", "0"], 0, DATA[2]),  # a failed put keeps the complete files, no more
    (["get", "k.tape", "1"], 1, ["k.tape: has no tape file 1 (it holds 1 file"]),
    (["check", "k.tape"], 0, ["headers, clean"]),  # closed again by its end mark
    (["check", "v.tape"], 0, ["headers, clean"]),
    (["check", "d.tape"], 1, [f"offset {offs[4]},", "the chain of headers is broken here"]),
    *[(["ls", f"hc{n}.tape"], 1, [f"block 0 at offset 0: {HCUT}"]) for n in (1009, 3000)],  # a pass reads no payload
    (["get", "hc3000.tape", "0"], 1, ["block 0 at offset 0: the block's payload is cut short or does not decompress (library code -12)\n"]),
    *[(["check", f"cut{n}.tape"], 1, [f"cut{n}.tape: defect after {good}\n  offset {at}, header bytes {d[at:min(n, at + 6)].hex(' ')}\n  {said}"])
      for n, good, at, said in CUTS],
    (["check", "hc2012.tape"], 1, [f"defect after 1 good header\n  offset 1006, header bytes {HC[1006:1012].hex(' ')}\n  the image "
                                   "ends inside a block: its last segment lacks the last-segment flag"]),
    (["check", "empty.tape"], 1, ["the file is empty: it is not a volume"]),
    (["check", "noend.tape"], 1, ["the volume is not closed by its end mark"]),
    (["check", "m.tap"], 1, b"m.tap: SIMH .tap file, 3 records, defective\n  offset 4130: block 3 at offset 4130 was read "
                            b"with an error: its data is in doubt\n"),  # read in place: its bad record, no defect of an image
    (["check", "crc1.tape"], 0, ["headers, clean"]),  # damage in block 0 is as in any: found by --deep
    (["get", "--unblock", "crc1.tape", "1"], 0, b"orvtape " * 500),
    (["check", "--deep", "crc.tape"], 1, ["block 0 at offset 0: the block", f"block 1 at offset {8 + len(bad)}: the",
                                          "offset 0, header bytes " + (DIR / "crc.tape").read_bytes()[:6].hex(" ")]),
    (["ls", "v.tape"], 1, ["standard output: cannot write (No space left on device)"], to_full),
    (["check", "nope.tape"], 2, ["nope.tape: cannot open the image (library code -1, No such"]),
    (["ls", "d.tape"], 1, [f"block 4 at offset {offs[4]}:", "File-0"]),
    (["get", "d.tape", "1", "out"], 1, []),
    (["get", "d.tape", "1"], 1, DATA[5][:4096]),  # the blocks before the damage still reach stdout
    (["copy", "crc.tape", "x.tape"], 1, ["block 0 at offset 0: the block's payload", "; try 'orvtape recover'"]),
    *[(["recover", src, dst], 0, (f"{src}: skipped {b - a} damaged bytes at offsets {a} to {b - 1}{end}\n" * (a < b) +
                                  f"{dst}: {n} blocks and {m} tapemarks recovered; {(a < b):d} damaged stretch{'es' * (a == b)} ({b - a} bytes)"
                                  f" skipped; {k} tapemark{'s' * (k != 1)} added to close the volume\n").encode())
      for src, dst, a, b, end, n, m, k in (  # a stretch from a to b; blocks, tapemarks recovered; tapemarks added
          ("d.tape", "r.tape", offs[4], offs[10], "", 15, 4, 0), ("hc.tape", "rh.tape", 0, 0, "", 1, 2, 0),
          ("cut6.tape", "r0.tape", 0, 6, " (the end of the image)", 0, 0, 1),
          (f"cut{offs[21] - 1}.tape", "r1.tape", offs[20], offs[21] - 1, " (the end of the image)", 19, 1, 2),
          (f"cut{offs[21] + 1}.tape", "r2.tape", offs[21], offs[21] + 1, " (the end of the image)", 20, 1, 2))],
    (["get", "r.tape", "1"], 0, DATA[5][:4096] + DATA[5][7 * 4096:]),
    (["copy", "--no-compress", "--scramble", "--segment-size", "1000", "v.tape", "c.tape"], 0, []),
    (["copy", "c.tape", "c.tape"], 2, ["c.tape: is the source itself"]),
    (["copy", "-f", "d.tape", "c.tape"], 1, ["try 'orvtape recover'"]),  # c.tape stays as it was
    (["copy", "--capacity", "1K", "v.tape", "cap.tape"], 0, ["cap.tape: end-of-tape warning: the capacity of 1024 bytes is reached "
                                                            "at block 3 (copying block 3)\ncap.tape: 35 blocks and tapemarks copied"]),
    (["import", "--capacity", "1K", "m.tap", "cap2.tape", "--from", "tap"], 0, [
        "cap2.tape: end-of-tape warning: the capacity of 1024 bytes is reached at block 1 (importing block 1)\n",
        "m.tap: erase gaps skipped, as an orvtape image cannot hold them: 3 (at offsets 12, 14, 16)\n", "m.tap: records read with an error, "
        "imported without the flag: 1 (at offset 4130), record 3\nm.tap: the end-of-medium mark at offset 4156 ends the volume\n"
        "cap2.tape: 3 records and 3 tapemarks imported\n"]),
    (["get", "v.tape", "0", "hl.tape"], 2, ["hl.tape: is the source itself"]),
    (["put", "-a", "v.tape", "-"], 2, ["v.tape: standard input is this file itself"], stdin_from("v.tape")),
    (["put", IN[1], "v.tape"], 1, [f"{IN[1]}: is not a tape volume; use --force"]),
    (["put", "many.tape", *[IN[3]] * 100], 0, [], lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (32, 32))),
    (["init", "n.tape"], 2, ["n.tape: cannot create a file in . (Permission denied)"], nobody),
    (["copy", "--compress", "--no-compress", "v.tape", "x.tape"], 2, ["exclude each other"]),
    (["import", "--compress", "rt.tap", "rt.tape"], 0, ["rt.tap: SIMH .tap format detected"]),  # its end past the first MiB
    (["get", "rt.tape", "0"], 0, DATA[1] + BIG),
    (["export", "rt.tape", "-", "--to", "tap"], 0, (DIR / "rt.tap").read_bytes()),
    (["import", "-", "m2.tape", "--from", "tap"], 0, [], stdin_from("m.tap")),
    (["get", "m2.tape", "0"], 0, b"abc" + DATA[4]),
    (["export", "-", "-", "--to", "tap"], 0, (DIR / "rt.tap").read_bytes(), stdin_from("rt.tape")),
    (["import", "m.tap", "-", "--from", "tap"], 0, [], stdout_to("m3.tape")),
    (["get", "m3.tape", "1"], 0, b"flagged!!"),
    (["check", "m3.tape"], 0, []),  # whole to its last byte
    (["import", "m.tap", "m2.tape", "--from", "tap"], 1, ["m2.tape: exists and is not empty; use --force"]),
    (["copy", "v.tape", "ct.tap"], 0, []),  # image to tap to aws to image keeps every block
    (["copy", "ct.tap", "ct.aws"], 0, []),
    (["copy", "--from", "aws", "ct.aws", "ct.tape"], 0, []),
    (["copy", "dsc.tap", "dsc2.tap"], 0, ["2 records and 2 tapemarks copied"]),
    (["copy", "--compress", "v.tape", "x.tap"], 2, ["apply to an image; x.tap is written as tap"]),
    (["copy", "dsc.tap", "dsc.het"], 0, ["tape description records skipped, as HET cannot hold them: 1 (at offset 0)"]),
    (["import", "bl.txt", "x.tape"], 2, ["bl.txt: is in no format import recognises (the 6-byte headers of aws, het and orv break at "
                                         "offset 0, the length words of tap at offset 0 and of e11 at offset 0, tpc's records run to"]),
    (["put", "-a", "v.tape", "v.tape"], 2, ["v.tape: is the source itself"]),
    (["put", "-a", "v.tape", IN[1]], 1, ["v.tape: the image cannot be written", "Permission"], nobody),
    (["put", "-a", "v.tape", "nope"], 2, ["nope: cannot open the file (No such file"]),
    (["put", "x.tape", "."], 2, [".: cannot open the file (Is a directory)"]),
    (["put", "-b", "5M", "x.tape", IN[1]], 2, ["--block-size must be 1 to 4194304"]),
    (["-j", "2", "--max-block", "1M", "frobnicate"], 2, ["unknown command 'frobnicate'"]),
    (["put", "--frob", "x.tape", IN[0]], 2, ["orvtape: The following argument was not expected: --frob"]),
    (["init", "cut6.tape"], 1, ["cut6.tape: exists and is not empty; use --force"]),
    (["init", "-f", "cut6.tape"], 0, []),
    (["import", "lab.tap", "lab.tape", "--from", "tap"], 0, []),
    (["check", "lab.tape"], 1, ["the labels disagree with the data", *[w for w in LABEL_WARNINGS if "\\" not in w]]),
    (["get", "--dataset", "2", "--ascii", "lab.tape"], 0, b"rec one\nrecord two\n"),
    (["get", "lab.tape", "4", "--ascii"], 0, b"rec one\nrecord two\n"),
    (["get", "--name", "SYS1.TEST", "lab.tape", "--unblock", "--strip"], 0, b"a" * 160),
    (["get", "--dataset", "5", "lab.tape"], 1, ["lab.tape: data set NODATA has no data"]),
    (["get", "--dataset", "2147483647", "lab.tape"], 1, ["lab.tape: has no data set 2147483647 (it holds"]),  # the largest asked
    (["get", "lab.tape", "3", "--recfm", "VB", "--unblock"], 1, ["block 0 of the data set: its block descriptor word does not fit its 80 bytes"]),
    (["put", "--label", "LAB001", "--ebcdic", "--recfm", "FB", "--lrecl", "80", "-b", "800",
      "--name", "my.data", "lv.tape", "lt.txt"], 0, ["lv.tape: 1 file written"]),
    (["put", "-a", "lv.tape", IN[4]], 0, []),
    (["ls", "lv.tape"], 0, ["Volume LAB001  owner -  standard (EBCDIC)", "   1  MY.DATA            FB         80      800         "
                            "6           4,800  " + time.strftime("%Y-%m-%d", time.gmtime()), "   2  IN4097             U           0    32768         1"]),
    (["get", "--name", "my.data", "--ascii", "--strip", "lv.tape"], 0, LINES),
    (["get", "--dataset", "2", "lv.tape"], 0, DATA[4]),
    (["put", "-a", "--label", "X", "v.tape", IN[1]], 1, ["v.tape: is a volume without labels"]),
    (["put", "--label", "FL", "--ansi", "-b", "80", "fl.tape", "fake.lab", "fake.lab"], 0, []),
    (["ls", "fl.tape"], 0, ["   2  FAKE.LAB           U           0       80         4             244"]),
    (["get", "--name", "fake.lab", "fl.tape"], 0, FAKE),
    (["put", "--label", "M1", "--ansi", "-b", "1", "m.tape", "m.txt"], 0, []),
    (["check", "m.tape"], 0, ["headers, clean"]),
    (["ls", "m.tape"], 0, ["   1  M.TXT              U           0        1   1000001       1,000,001"]),
    *[(["put", "-a", f"open{n}.tape", IN[0]], 0, ["closing it"] if n == 18 else []) for n in (6, 12, 18)],
    (["put", "-b", "3000", "--scramble", "br.tape", "-"], 0, [], stdin_from("rt.tap")),
    (["get", "br.tape", "0"], 0, (DIR / "rt.tap").read_bytes()),
    *[row for i, (_, said) in enumerate(SPANS) for row in (
        (["import", f"vs{i}.tap", f"vs{i}.tape"], 0, []), *[(["check", f"vs{i}.{x}"], 1, ["data set 1 (S): " + said])
                                                             for x in ("tape", "tap")],
        (["get", f"vs{i}.tap", "--all", f"vs{i}", "--unblock"], 1, ["file 1: " + said]))],
    # An het file whose first MiB holds no compressed block reads as an image up to its first one, then as het.
    (["put", "-b", "32K", "hx.tape", "mb.bin"], 0, []), (["put", "-a", "--compress", "hx.tape", "lt.txt"], 0, []),
    (["export", "hx.tape", "hx.het", "--compress", "keep"], 0, []), (["copy", "hx.het", "hx2.tape"], 0, []),
    (["get", "hx2.tape", "1"], 0, LINES), (["get", "hx.het", "--all", "hxd"], 0, []),
    (["check", "--manifest", "hxd/manifest.json", "hx.het"], 0, ["2 files match"]),
    *[row for x in ([], ["--compress"]) for row in (
        (["put", "-b", "1M", *x, f"mb{len(x)}.tape", "mb.bin"], 0, []),
        (["--max-block", "64K", "check", f"mb{len(x)}.tape"], 1, ["block 0 at offset 0 claims 1048576 bytes, more than --max-block (65536)"]),
        (["get", f"mb{len(x)}.tape", "0"], 0, MB), (["check", "--json", f"mb{len(x)}.tape"], 0, ['"multiSegment": true']))],
]
for args, status, want, *child in TABLE:
    p = run(*args, status=status, child=child[0] if child else None)
    if isinstance(want, bytes):
        expect(p.stdout == want, f"orvtape {' '.join(args)}: {len(p.stdout)} bytes, not the {len(want)} expected")
    else:
        out = (p.stdout + p.stderr).decode(errors="replace")
        expect(all(f in out for f in want), f"orvtape {' '.join(args)}: expected {want} in {out[:1000]!r}")

# Without /proc a new file is made under a hidden name of its own, and renamed when complete.
no_proc = lambda *a: subprocess.run(["unshare", "-m", "sh", "-c", 'umount -l /proc && exec "$0" "$@"', TOOL, *a], cwd=DIR, capture_output=True)
if no_proc("help").returncode != 0:  # a sanitizer's runtime needs /proc to start the tool at all
    print("SKIPPED: the tool does not start without /proc here, so new files made without it go untested", file=sys.stderr)
else:
    expect([no_proc(*a).returncode for a in (["put", "np.tape", IN[3]], ["copy", "np.tape", "np2.tape"], ["put", "np.tape", IN[1]])] == [0] * 3
           and tape_files("np2.tape", 1) + tape_files("np.tape", 1) == [DATA[3], DATA[1]] and not list(DIR.glob(".orvtape-*")), "without /proc")
# What a killed run left is swept by the next new file beside it; a live one, and other names, are not.
LEFT = [".orvtape-abcdef", ".orvtape-live00", ".orvtape-abcdefg", ".orvtapX-abcdef"]
for name in LEFT:
    (DIR / name).write_bytes(b"x")
fcntl.flock(live := os.open(DIR / LEFT[1], os.O_RDONLY), fcntl.LOCK_SH)
run("put", "sw.tape", IN[0])
expect([(DIR / n).exists() for n in LEFT] == [False, True, True, True], "leftovers swept")
os.close(live), [(DIR / n).unlink(missing_ok=True) for n in LEFT]
stored = [b for b in layout("c.tape")["blocks"] if "tapemark" not in b]
expect(tape_files("c.tape", len(VOLUME)) == VOLUME and all(
    b["transforms"] == "scrambled" and b["segments"] == -(-b["stored"] // 1000) for b in stored),
    "copy with other transforms")
got = json.loads(run("ls", "--json", "lab.tape").stdout)["volume"]
expect([[d[k] for k in ("sequence", "name", "recfm", "lrecl", "blockSize", "blocks", "bytes", "created")]
        for d in got["dataSets"]] == [row[-1] for row in LABELS] and got["warnings"] == LABEL_WARNINGS
       and (got["serial"], got["owner"], got["labels"], got["scratch"]) == ("VOL001", "OWNER", "standard", False), f"label fields: {got}")
expect((DIR / "dsc2.tap").read_bytes() == (DIR / "dsc.tap").read_bytes(), "tap round trip")
expect(json.loads(run("ls", "--sum", "--json", "ct.tape").stdout)["files"] ==
       json.loads(run("ls", "--sum", "--json", "v.tape").stdout)["files"], "image to tap to aws to image keeps every block")
expect(all((DIR / f"open{n}.tape").read_bytes() == V for n in (6, 12, 18)), "appending chains on where the volume ends")
expect((DIR / "v.tape").read_bytes() == V and (DIR / "e.out").read_bytes() == EBCDIC and
       (DIR / IN[1]).read_bytes() == DATA[1] and not any((DIR / f).exists() for f in (
           "out", "x.tape", "x.tap", "k2.tape", "n.tape")) and not list(DIR.glob(".orvtape-*")),
       "refusals leave their files alone, failures leave no file")
# Every worker count makes the same bytes and the same refusals as -j 1.
JOBS = [  # command line with {j} for the count, output file (None: stdout), exit status
    (["put", "--compress", "-b", "4K", "j{j}.tape", *IN, IN[5]], "j{j}.tape", 0),
    (["import", "--compress", "--scramble", "rt.tap", "ji{j}.tape", "--from", "tap"], "ji{j}.tape", 0),
    (["export", "j{j}.tape", "je{j}.tap", "--to", "tap"], "je{j}.tap", 0),
    (["recover", "d.tape", "jr{j}.tape"], "jr{j}.tape", 0),
    (["check", "--deep", "crc.tape"], None, 1),
]
DIR.chmod(0o777)
for args, out, status in JOBS:
    results = []
    for j in (1, 2, 3, 4, "4n"):  # 4n: -j 4 where the system grants no thread
        p = run("-j", str(j)[0], *[a.format(j=j) for a in args], status=status, child=one_thread if j == "4n" else None)
        said = p.stdout + re.sub(rb"orvtape: note: the system refuses another thread[^\n]*\n", b"", p.stderr)
        for a in args:  # the names that differ by count
            said = said.replace(a.format(j=j).encode(), a.encode())
        results.append((said, (DIR / out.format(j=j)).read_bytes() if out else b""))
    expect(all(r == results[0] for r in results), f"orvtape -j N {' '.join(args)} differs between worker counts")
DIR.chmod(0o755)
expect(not list(DIR.glob(".orvtape-*")), "no temporary file stays, threads granted or not")
# Writers fed through a pipe held open: other writers fail at once, one that waits
# appends to what the first put in place (a new volume, or one replacing a volume), a
# signal undoes an append back to its last complete file, and nothing is left behind.
FEED = DATA[5] * 20  # beyond the writer's buffer, so that a fragment reaches the image


def fed(*args):
    p = subprocess.Popen([TOOL, *args], cwd=DIR, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(FEED), p.stdin.flush(), time.sleep(0.3)
    return p


shutil.copy(DIR / "v.tape", DIR / "w2.tape")
for img, first in (("w1.tape", ["put", "-a", "w1.tape", "-"]), ("w2.tape", ["put", "w2.tape", "-"])):
    p = fed(*first)
    said = b"".join(run(*a, status=1).stderr for a in (["put", "-a", img, IN[1]], ["copy", "v.tape", img], ["init", img],
                                                        ["import", "-f", "rt.tap", img]))
    w, r = (subprocess.Popen([TOOL, "--wait", *a], cwd=DIR, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            for a in (["put", "-a", img, IN[4]], ["get", img, "0"]))
    time.sleep(0.3), p.stdin.close()
    expect(said.count(b"in use by another process") == 4 and r.communicate(timeout=60)[0] == FEED and p.wait(60) == 0 and w.wait(60) == 0
           and tape_files(img, 2) == [FEED, DATA[4]], f"{first} beside other writers: {said}")
shutil.copy(DIR / "v.tape", DIR / "s0.tape")
run("put", "-a", "s0.tape", IN[3])
for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    shutil.copy(DIR / "v.tape", DIR / "s.tape")
    p = fed("put", "-a", "s.tape", IN[3], "-")
    p.send_signal(sig), p.wait()
    expect((DIR / "s.tape").read_bytes() == (DIR / "s0.tape").read_bytes() and run("check", "s.tape").returncode == 0,
           f"an append stopped by signal {sig} keeps its complete files and closes the volume")
run("put", "u0.tape", IN[2])
(DIR / "u.tape").write_bytes((DIR / "u0.tape").read_bytes()[:-12])  # its one file never closed
(p := fed("put", "-a", "u.tape", "-")).send_signal(signal.SIGTERM), p.wait()
expect((DIR / "u.tape").read_bytes() == (DIR / "u0.tape").read_bytes(), "a stopped append closes the old last file")
(p := fed("put", "sn.tape", "-")).send_signal(signal.SIGTERM), p.wait()
expect(not (DIR / "sn.tape").exists(), "a stopped put leaves no new volume, nor the empty file that held its name")
LONG = ["L" * 245 + ".tape", "C" * 245 + ".tape"]  # a name of 250 bytes, as long as names go but 5
run("put", LONG[0], IN[3]), run("copy", LONG[0], LONG[1]), run("put", "-a", LONG[1], IN[1])
expect(tape_files(LONG[1], 2) == [DATA[3], DATA[1]], "a target of 250 bytes")
# Killed half way, a forced copy leaves the old target whole and nothing beside it.
before = (DIR / "c.tape").read_bytes()
p = subprocess.Popen([TOOL, "copy", "-f", "--scramble", "rt.tape", "c.tape"], cwd=DIR)  # compresses anew
time.sleep(0.2), p.kill(), p.wait()
run("ls", "c.tape")
expect((DIR / "c.tape").read_bytes() == before, "a killed copy leaves its target as it was")
expect(not list(DIR.glob(".orvtape-*")), "no temporary file stays behind")


def every_file():  # get --all writes what get N writes; its manifest, ls --sum and check --manifest agree
    run("put", "-b", "4K", "pl.tape", *IN), run("put", "--label", "LW", "--name", ".a/b", "lw.tape", IN[3])
    run("put", "-a", "--name", "_a_b", "lw.tape", IN[4])  # the same name once made safe
    for img, j in (("pl.tape", "1"), ("j1.tape", "2"), ("lw.tape", "2")):
        out, m = DIR / f"all-{img}", f"all-{img}/manifest.json"
        run("-j", j, "get", img, "--all", out.name)
        got, ls = json.loads((out / "manifest.json").read_bytes())["files"], layout(img)["files"]
        keys = ("file", "bytes", "blocks", "minBlock", "maxBlock")
        expect([[f[k] for k in keys] for f in got] == [[f[k] for k in keys] for f in ls] and all(
            (out / f["path"]).read_bytes() == run("get", img, *(["--name", f["name"]] if "name" in f else [str(f["file"])])).stdout
            and hashlib.sha256((out / f["path"]).read_bytes()).hexdigest() == f["sha256"] for f in got), f"get --all {img}")
        expect([f["sha256"] for f in json.loads(run("ls", "--sum", "--json", img).stdout)["files"]] == [f["sha256"] for f in got],
               f"ls --sum {img}")
        run("check", img, "--manifest", m)
        before = {p.name: p.read_bytes() for p in out.iterdir()}
        run("get", img, "--all", out.name, status=1)
        expect({p.name: p.read_bytes() for p in out.iterdir()} == before, f"a second get --all {img} changes nothing")
    fixed = ("--recfm", "F", "--lrecl", "64", "--ascii")  # records of 64 bytes, each a line
    run("get", "pl.tape", "--all", "all-f", *fixed)
    expect((DIR / "all-f/file0005").read_bytes() == run("get", "pl.tape", "5", *fixed).stdout, "get --all --lrecl")
    expect(sorted(p.name for p in out.iterdir()) == ["_A_B", "_A_B~2", "file0000", "file0002", "file0003", "file0005",
                                                    "manifest.json"], "data sets under their names, made safe")
    (DIR / m).write_text((DIR / m).read_text().replace(got[1]["sha256"], "0" * 64))
    run("check", img, "--manifest", m, status=1)
    run("check", img, "--manifest", "nope.json", status=2)
    (out / "manifest.json").unlink(), (out / "file0002").write_bytes(b"keep")
    run("get", img, "--all", out.name, status=1)
    expect((out / "file0002").read_bytes() == b"keep" and not (out / "manifest.json").exists(),
           "get --all replaces no file without --force and, failing, leaves no manifest")


every_file()
shutil.rmtree(DIR)
print(f"{len(failures)} checks failed" if failures else "all checks held")
sys.exit(1 if failures else 0)
