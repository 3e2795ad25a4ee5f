"""The Python module against the library's own behaviour (the C++ tool, the drive, the stream).
Run: PYTHONPATH=BUILD/python ORVTAPE_TOOL=BUILD/tools/orvtape python3 -m pytest python/tests"""
import errno, faulthandler, json, os, pickle, random, subprocess, threading
import pytest
import orvtape

TOOL = os.environ.get("ORVTAPE_TOOL")
rng = random.Random(5)
FILES = [rng.randbytes(9000) + bytes(3000), bytes(70001), rng.randbytes(1)]
SETTINGS = [({}, []), ({"compress": True}, ["--compress"]),
            ({"scramble": True, "segment_size": 99}, ["--scramble", "--segment-size", "99"]),
            ({"compress": True, "scramble": True, "segment_size": 1001},
             ["--compress", "--scramble", "--segment-size", "1001"])]


def write_volume(out, files=FILES):  # 4 KiB blocks, a tapemark after each file and one more
    for data in files:
        for i in range(0, len(data), 4096):
            out.write(memoryview(data)[i:i + 4096])
        out.write_tapemark()
    out.write_tapemark()


@pytest.mark.parametrize("py,cli", SETTINGS)
def test_tool_drive_and_writer_agree(tmp_path, py, cli):
    with orvtape.Tape(str(tmp_path / "drive.tape"), **py) as t:
        write_volume(t)
        assert (t.block_id, t.file_number, t.tapemark) == (26, 4, True)
    with orvtape.Writer(str(tmp_path / "stream.tape"), **py) as w:
        write_volume(w)
    images = [(tmp_path / n).read_bytes() for n in ("drive.tape", "stream.tape")]
    if TOOL:
        names = [str(tmp_path / f"in{i}") for i in range(len(FILES))]
        [open(name, "wb").write(data) for name, data in zip(names, FILES)]
        subprocess.run([TOOL, "-q", "put", "-b", "4K", *cli, str(tmp_path / "tool.tape"), *names], check=True)
        images.append((tmp_path / "tool.tape").read_bytes())
        listing = json.loads(subprocess.run([TOOL, "ls", "--json", "--blocks", str(tmp_path / "tool.tape")],
                                            capture_output=True, check=True).stdout)["blocks"]
        assert [(b["offset"], b.get("length", 0), b.get("stored", 0)) for b in listing] == \
            [(b.offset, b.length, b.stored_length) for b in orvtape.blocks(str(tmp_path / "tool.tape"))]
    assert images.count(images[0]) == len(images)
    path = str(tmp_path / "drive.tape")
    assert list(orvtape.files(path)) == FILES
    info = orvtape.information(path)
    assert [f["bytes"] for f in info["files"]] == [len(d) for d in FILES] + [0] and info["total_bytes"] == 82002
    assert info["report"][0].startswith("File-0") and info["report"][-1].startswith("Total-4 ")
    with orvtape.Tape(path, read_only=True) as t:  # every block as the drive reads and locates it
        keys = ("ok", "code", "headers", "last_header_offset", "last_header", "multi_segment", "compressed")
        assert [t.validate()[k] for k in keys] == [orvtape.validate(path)[k] for k in keys]
        for b in orvtape.blocks(path):
            t.locate(b.number)
            assert (t.read(), t.file_number) == (b.data, b.file_number + b.tapemark)
            assert t.read_backward() == b.data and t.block_id == b.number
        t.locate(3), t.fsf(1)
        assert (t.block_id, t.file_number, t.tapemark, t.bsr(1), t.block_id, t.file_number) == (4, 1, True, None, 3, 0)


def damaged(path, pos, byte):
    with open(path, "r+b") as f:
        f.seek(pos), f.write(bytes([byte]))


def volume(path):
    with orvtape.Writer(path) as w:
        write_volume(w, FILES[:1])
    return path


# (what is done, exception, code, errno, operation)
ERRORS = [
    (lambda p: orvtape.Tape(volume(p), read_only=True).fsf(3), orvtape.EndOfData, -2, 0, "fsf"),
    (lambda p: orvtape.Tape(volume(p)).bsr(1), orvtape.LoadPoint, -4, 0, "bsr"),
    (lambda p: orvtape.Tape(volume(p), read_only=True).write(b"x"), orvtape.WriteProtected, -11, errno.EBADF, "write"),
    (lambda p: orvtape.Tape(p).write(bytes(4 << 20 | 1)), orvtape.BlockTooLong, -13, 0, "write"),
    (lambda p: orvtape.Tape(p + "/no/such", read_only=True), orvtape.TapeIOError, -1, errno.ENOENT, "open"),
    (lambda p: (damaged(volume(p), 4, 0xFF), orvtape.Tape(p).read()), orvtape.FormatError, -3, 0, "read"),
    (lambda p: (damaged(volume(p), 4, 0xFF), list(orvtape.blocks(p))), orvtape.FormatError, -6, 0, "blocks"),
    (lambda p: (damaged(volume(p), 4105, 0), orvtape.Writer(p, append=True)), orvtape.FormatError, -7, 0,
     "open"),
    (lambda p: (lambda t: (t.close(), t.read()))(orvtape.Tape(p)), orvtape.TapeClosed, -1, 0, "read"),
]


@pytest.mark.parametrize("call,kind,code,err,op", ERRORS)
def test_failures_raise_with_code_errno_and_operation(tmp_path, call, kind, code, err, op):
    with pytest.raises(kind) as caught:
        call(str(tmp_path / "v.tape"))
    e = caught.value
    assert isinstance(e, orvtape.TapeError) and (e.code, e.errno, e.operation) == (code, err, op)
    assert pickle.loads(pickle.dumps(e)).code == code and op in str(e)


def test_damage_is_judged_alike_by_drive_and_stream(tmp_path):
    for pos, byte in ((4, 0xFF), (2, 9), (4105, 0)):
        path = volume(str(tmp_path / f"d{pos}.tape"))
        damaged(path, pos, byte)
        with orvtape.Tape(path, read_only=True) as t:
            drive = t.validate()
        stream = orvtape.validate(path)
        assert not drive["ok"] and (drive["code"], drive["last_header_offset"], drive["last_header"]) == \
            (stream["code"], stream["last_header_offset"], stream["last_header"])


def test_block_data_lives_for_its_step(tmp_path):
    path = volume(str(tmp_path / "v.tape"))
    it = orvtape.blocks(path)
    first = next(it)
    view, kept = first.data, bytes(first)
    part = next(it).data[1:3]
    for _ in range(2):  # a slice of the block's bytes is still in use, also after a refusal
        with pytest.raises(BufferError):
            next(it)
    del part
    third = next(it)
    with pytest.raises(ValueError):  # released when the iterator moved on
        view[0]
    with pytest.raises(BufferError):
        first.data
    assert (first.number, kept, bytes(third)) == (0, FILES[0][:4096], FILES[0][8192:])
    it.close()
    with pytest.raises(orvtape.TapeClosed):
        next(it)
    with pytest.raises(BufferError):
        third.data
    assert [bytes(b) for b in orvtape.blocks(path, decode=False)][:3] == [kept, FILES[0][4096:8192], FILES[0][8192:]]


@pytest.mark.parametrize("entry", [lambda p: orvtape.Tape(p, read_only=True), lambda p: list(orvtape.blocks(p)),
                                   lambda p: list(orvtape.files(p)), orvtape.validate, orvtape.information])
def test_gil_is_released_while_the_library_waits(tmp_path, entry):
    # open() of a fifo waits for a writer, which only this thread can be:
    # it gets there only when the library call let go of the interpreter.
    fifo, outcome = str(tmp_path / "fifo"), []
    os.mkfifo(fifo)
    def work():
        try:
            outcome.append(entry(fifo))
        except orvtape.TapeError as e:  # a fifo is no volume: only getting here counts
            outcome.append(e)
    worker = threading.Thread(target=work, daemon=True)
    faulthandler.dump_traceback_later(60, exit=True)  # a held GIL blocks this thread for good
    worker.start()
    os.close(os.open(fifo, os.O_WRONLY))
    worker.join(30)
    faulthandler.cancel_dump_traceback_later()
    assert outcome, "the library call held the GIL"


def test_two_threads_walk_two_volumes(tmp_path):
    paths = [volume(str(tmp_path / f"{n}.tape")) for n in "ab"]
    walks = {}
    threads = [threading.Thread(target=lambda p=p: walks.update({p: [bytes(b) for b in orvtape.blocks(p)]}))
               for p in paths]
    [t.start() for t in threads], [t.join() for t in threads]
    assert walks[paths[0]] == walks[paths[1]] == [bytes(b) for b in orvtape.blocks(paths[0])]
