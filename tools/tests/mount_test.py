#!/usr/bin/env python3
"""End-to-end tests of orvtape mount: real FUSE mounts of images, foreign
files, labelled, damaged and changing volumes, read against what ls --json
and get say.  Usage: mount_test.py PATH_TO_ORVTAPE; exit 0 when every check
held, 77 (skipped, said loudly) where FUSE is missing."""
import contextlib, errno, json, os, pathlib, random, shutil, subprocess, sys, tempfile, threading

TOOL, DIR = os.path.abspath(sys.argv[1]), pathlib.Path(tempfile.mkdtemp(prefix="orvtape-mount-"))
if not os.path.exists("/dev/fuse") or not shutil.which("fusermount3"):
    print("SKIP: orvtape mount NOT TESTED: /dev/fuse or fusermount3 is missing", file=sys.stderr)
    sys.exit(77)
rng, failures = random.Random(11), []


def expect(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def tool(*args, status=0):
    p = subprocess.run([TOOL, *args], capture_output=True, cwd=DIR, timeout=120)
    expect(p.returncode == status, f"orvtape {' '.join(args)}: status {p.returncode}\n{p.stderr.decode(errors='replace')}")
    return p.stdout


@contextlib.contextmanager
def mounted(image, *options):
    d = DIR / f"at-{image}"
    d.mkdir(exist_ok=True)
    tool("mount", image, str(d), *options)
    try:
        yield d
    finally:  # lazily, so that a failed check never leaves a mount behind
        subprocess.run(["fusermount3", "-u", "-z", str(d)], capture_output=True)


def read_error(path, offset=0):
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            f.read()
    except OSError as e:
        return e.errno
    return 0


# Sizes around the 4 KiB block, an empty file among them, half random and half zeros so that compression pays.
SIZES = [1, 4095, 0, 4097, 70001, 300000]
DATA = [rng.randbytes(n // 2) + bytes(n - n // 2) for n in SIZES]
for i, data in enumerate(DATA):
    (DIR / f"in{i}").write_bytes(data)
INS = [f"in{i}" for i in range(len(DATA))]
tool("put", "-q", "-b", "4K", "v.tape", *INS)
tool("put", "-q", "-b", "4K", "--compress", "z.tape", *INS)
(DIR / "cards").write_text("".join(f"CARD {i:05d} {'X' * (i % 70)}\n" for i in range(3000)))
tool("put", "-q", "--label", "VOL001", "--recfm", "FB", "--lrecl", "80", "--ebcdic", "--name", "MY.CARDS", "l.tape", "cards")
tool("put", "-q", "-a", "--name", "BIN.DATA", "--compress", "l.tape", "in5")
tool("put", "-q", "-b", "100", "s.tape", "cards")  # a read spans more blocks than a splice carries
tool("put", "-q", "-b", "16", "t.tape", "in4")  # ... of blocks so short that they are gathered one by one
for image, foreign in (("v.tape", "v.tap"), ("v.tape", "v.e11"), ("v.tape", "v.tpc"), ("z.tape", "z.het"), ("v.tape", "v.aws")):
    tool("export", "-q", image, foreign)

# Every volume: names, sizes and volume.json as ls --json has them; every byte as get gives it, whole and at random places.
for image in ("v.tape", "z.tape", "l.tape", "s.tape", "t.tape", "v.tap", "v.e11", "v.tpc", "z.het", "v.aws"):
    listing = json.loads(tool("ls", "--json", image))
    files = [tool("get", image, str(f["file"])) for f in listing["files"]]
    expected = {f"file{k:04d}": data for k, data in enumerate(files)}
    for s in listing.get("volume", {}).get("dataSets", []):
        expected[s["name"]] = tool("get", image, "--name", s["name"])
        if s["recfm"] in ("F", "FB", "V", "VB"):
            expected[s["name"] + ".txt"] = tool("get", image, "--name", s["name"], "--ascii")
    with mounted(image) as d:
        expect(sorted(os.listdir(d)) == sorted([*expected, "volume.json"]), f"{image}: names {sorted(os.listdir(d))}")
        expect((d / "volume.json").read_bytes() == tool("ls", "--json", image), f"{image}: volume.json")
        expect([os.stat(d / f"file{k:04d}").st_size for k in range(len(files))] == [f["bytes"] for f in listing["files"]],
               f"{image}: sizes against ls --json")
        expect(int(os.stat(d / "file0000").st_mtime) == int(os.stat(DIR / image).st_mtime), f"{image}: times")
        for name, data in expected.items():
            expect((d / name).read_bytes() == data, f"{image}: {name} against get")
            fd = os.open(d / name, os.O_RDONLY)
            for _ in range(30):
                at, n = rng.randrange(len(data) + 2), rng.choice([1, 100, 4095, 4096, 4097, 20000])
                expect(os.pread(fd, n, at) == data[at:at + n], f"{image}: {name} {n} bytes at {at}")
            os.close(fd)
        try:
            open(d / "file0000", "wb")
            expect(False, f"{image}: a file opened for writing")
        except OSError as e:
            expect(e.errno in (errno.EROFS, errno.EACCES), f"{image}: writing refused with {e}")

# A cut image: the files before the damage whole, the damaged one up to its last good block and then an error.
z = (DIR / "z.tape").read_bytes()
(DIR / "cut.tape").write_bytes(z[:len(z) - 20000])
listing = json.loads(tool("ls", "--json", "cut.tape", status=1))
with mounted("cut.tape") as d:
    expect((d / "volume.json").read_bytes() == json.dumps(listing, indent=2).encode() + b"\n" and "error" in listing,
           "cut: volume.json names the damage")
    last = len(listing["files"]) - 1
    expect([(d / f"file{k:04d}").read_bytes() for k in range(last)] == DATA[:last], "cut: files before the damage")
    good = listing["files"][last]["bytes"]
    with open(d / f"file{last:04d}", "rb") as f:
        expect(f.read(good) == DATA[last][:good], "cut: the damaged file up to its last good block")
    expect(read_error(d / f"file{last:04d}", good) == errno.EIO, "cut: the damaged file ends in an error")

# A changed image fails its reads rather than mixing old and new bytes.
shutil.copy(DIR / "z.tape", DIR / "changing.tape")
with mounted("changing.tape") as d:
    expect((d / "file0001").read_bytes() == DATA[1], "changing: read before the change")
    with open(DIR / "changing.tape", "ab") as f:
        f.write(b"\0" * 6)
    expect(read_error(d / "file0005") == errno.EIO, "changing: a read after the change fails")

# Two readers at once of a compressed volume, and unmounting while a file is held open.
with mounted("z.tape", "--cache", "64K") as d:
    got = {}
    threads = [threading.Thread(target=lambda k=k: got.update({k: (d / f"file{k:04d}").read_bytes()})) for k in (4, 5, 5)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    expect(got == {4: DATA[4], 5: DATA[5]}, "two readers at once")
    held = open(d / "file0005", "rb")
    busy = subprocess.run(["fusermount3", "-u", str(d)], capture_output=True)
    expect(busy.returncode != 0 and held.read() == DATA[5], "unmount refused while a file is open, its reader unharmed")
    held.close()
    expect(subprocess.run(["fusermount3", "-u", str(d)]).returncode == 0 and not os.listdir(d), "unmount once closed")

shutil.rmtree(DIR, ignore_errors=True)
print(f"{len(failures)} failures" if failures else "mount tests passed")
sys.exit(1 if failures else 0)
