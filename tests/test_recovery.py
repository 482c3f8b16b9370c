"""Opening an index from its log: replay rules, torn and corrupt tails, crashes."""

import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import varnelo_shard_engine as vse
from conftest import DIM, WAL, wal_record


def write_log(base_dir, *records):
    os.makedirs(base_dir, exist_ok=True)
    with open(os.path.join(base_dir, WAL), "wb") as f:
        f.write(b"".join(records))


def reopen(base_dir, dim=DIM):
    return vse.ShardIndex(base_dir, dim)


def state(ix):
    return {int(d): ix.get_payload(int(d)) for d in ix.doc_ids()}


def ins(doc_id, payload=b"", n=1, dim=DIM, op=1):
    return wal_record(op, doc_id, payload, [0.5] * (n * dim), n, dim)


def corrupt(record):
    return record[:-1] + bytes([record[-1] ^ 1])


@pytest.mark.parametrize(
    "records, expected",
    [
        ([], {}),
        ([ins(1, "a"), wal_record(2, 1), ins(1, "b")], {1: "b"}),
        ([ins(1, "a"), wal_record(2, 1)], {}),
        ([wal_record(4, 1, "x"), ins(1, "a")], {1: "a"}),  # update of an absent id does nothing
        ([ins(1, "a"), wal_record(4, 1, "x"), wal_record(4, 1, b"")], {1: None}),
        ([ins(1, ""), ins(2, "p", op=3)], {1: None, 2: "p"}),  # code 3 replays as an insert
        ([ins(1, "a"), wal_record(0, 2), ins(3)], {1: "a"}),  # a bad op code ends the replay
        ([ins(1, "a"), wal_record(5, 2), ins(3)], {1: "a"}),
        ([ins(1, "a"), corrupt(ins(2)), ins(3)], {1: "a"}),  # checksum mismatch mid-log
        ([ins(1, "a"), ins(2)[:-3]], {1: "a"}),  # torn last record
        ([ins(1, "a"), ins(2, "payload")[:15]], {1: "a"}),
        ([ins(1, "a", n=3)], {1: "a"}),
    ],
)
def test_replay(base_dir, records, expected):
    write_log(base_dir, *records)
    ix = reopen(base_dir)
    assert state(ix) == expected
    ix.close()


def test_replay_counts_rows_and_uses_index_width(base_dir):
    # The record's own width is not consulted: the entry takes the index's.
    write_log(base_dir, ins(1, n=3, dim=2), ins(2, n=5, dim=4))
    ix = reopen(base_dir)
    assert ix.total_vectors == 8
    ix.close()


def test_replay_limits(base_dir):
    big = 64 * 2**20
    write_log(base_dir, ins(1, b"x" * big), ins(2))
    ix = reopen(base_dir)
    assert ix.doc_ids().tolist() == [1, 2] and len(ix.get_payload(1)) == big
    ix.close()
    # One byte more, or one value more, ends the replay at that record.
    header = lambda op, plen: bytes([op]) + (3).to_bytes(8, "little") + plen.to_bytes(4, "little")
    for tail in (
        header(1, big + 1) + b"x" * 64,
        header(1, 0) + (65536).to_bytes(4, "little") + (1025).to_bytes(4, "little") + b"\0" * 64,
    ):
        write_log(base_dir, ins(1), ins(2), tail)
        ix = reopen(base_dir)
        assert ix.doc_ids().tolist() == [1, 2]
        ix.close()


def test_invalid_utf8_payload_from_the_log(base_dir):
    write_log(base_dir, ins(1, b"ok\xff"), ins(2, b"\xe2\x82"), ins(3, b"\xf0\x9f\x98"))
    ix = reopen(base_dir)
    for doc_id, text in [
        (1, "invalid utf-8 sequence of 1 bytes from index 2"),
        (2, "incomplete utf-8 byte sequence from index 0"),
        (3, "incomplete utf-8 byte sequence from index 0"),
    ]:
        with pytest.raises(ValueError) as e:
            ix.get_payload(doc_id)
        assert str(e.value) == f"payload not valid UTF-8: {text}"
    ix.close()


@pytest.mark.parametrize(
    "bad_tail",
    [
        lambda: ins(9, "torn")[:-2],
        lambda: corrupt(ins(9)),
        lambda: wal_record(7, 9),
        lambda: bytes([1]) + (9).to_bytes(8, "little") + (2**30).to_bytes(4, "little"),
    ],
    ids=["torn", "crc", "op", "limit"],
)
def test_writes_after_a_bad_tail_survive_the_next_open(base_dir, bad_tail):
    good = ins(1, "a") + ins(2, "b")
    write_log(base_dir, good, bad_tail())
    ix = reopen(base_dir)
    assert state(ix) == {1: "a", 2: "b"}
    ix.insert(3, np.ones((2, DIM), np.float32), "c")
    ix.sync()
    del ix
    ix = reopen(base_dir)
    assert state(ix) == {1: "a", 2: "b", 3: "c"}
    ix.close()
    with open(os.path.join(base_dir, WAL), "rb") as f:
        assert f.read() == good + wal_record(1, 3, "c", [1.0] * (2 * DIM), 2, DIM)


def test_open_creates_directories_and_an_empty_log(tmp_path):
    base = tmp_path / "a" / "b" / "c"
    ix = vse.ShardIndex(str(base), DIM)
    assert base.is_dir() and os.path.getsize(base / WAL) == 0 and ix.doc_count == 0
    ix.close()
    ix = vse.ShardIndex(str(base) + "/", DIM, gpu_score_fn=5)  # an existing directory is fine
    ix.close()


def test_open_failures(tmp_path):
    with pytest.raises(ValueError, match="^dim must be > 0$"):
        vse.ShardIndex(str(tmp_path / "zero"), 0)
    assert not (tmp_path / "zero").exists()
    afile = tmp_path / "file"
    afile.write_text("x")
    with pytest.raises(OSError) as e:
        vse.ShardIndex(str(afile), DIM)
    assert str(e.value) == "cannot create base_dir: File exists (os error 17)"
    with pytest.raises(OSError, match=r"^cannot create base_dir: Not a directory \(os error 20\)$"):
        vse.ShardIndex(str(afile / "sub"), DIM)
    os.makedirs(tmp_path / "logdir" / WAL)
    with pytest.raises(OSError, match=r"^WAL open failed: Is a directory \(os error 21\)$"):
        vse.ShardIndex(str(tmp_path / "logdir"), DIM)
    for bad in ((b"x", DIM), (str(tmp_path), -1), (str(tmp_path), 1.5), (None, DIM)):
        with pytest.raises((TypeError, OverflowError)):
            vse.ShardIndex(*bad)


def test_unreadable_log_fails_the_open(base_dir):
    if os.geteuid() == 0:
        pytest.skip("root reads any file")
    write_log(base_dir, ins(1))
    os.chmod(os.path.join(base_dir, WAL), 0)
    with pytest.raises(OSError, match=r"^WAL replay failed: Permission denied \(os error 13\)$"):
        reopen(base_dir)


def held(base_dir):
    return f"WAL lock failed: {base_dir} is held by another open ShardIndex"


def test_one_open_index_per_directory(base_dir):
    ix = reopen(base_dir)
    ix.insert(1, np.ones((2, DIM), np.float32), "a")
    for again in (base_dir, base_dir + "/"):
        with pytest.raises(OSError) as e:
            reopen(again)
        assert str(e.value) == held(again)
    ix.insert(2, np.ones((2, DIM), np.float32), "b")  # the refused open changed nothing
    ix.close()
    ix = reopen(base_dir)  # a closed index frees the directory at once
    assert state(ix) == {1: "a", 2: "b"}
    del ix
    reopen(base_dir).close()  # and so does a dropped one


def test_a_second_process_cannot_open_a_directory_in_use(base_dir):
    """While one process appends large records and syncs each, others are refused, and lose
    nothing for it: an opener that replayed in the middle of a write would take the record in
    flight for a torn tail and cut it off."""
    writer = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(
            f"""
            import sys, numpy as np, varnelo_shard_engine as vse
            ix = vse.ShardIndex({base_dir!r}, {DIM})
            print("open", flush=True)
            for i in range(40):
                ix.insert(i, np.full((3000, {DIM}), i, np.float32), str(i))
                ix.sync()
            print("written", flush=True)
            sys.stdin.readline()
            ix.close()
            """
        )],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )
    try:
        assert writer.stdout.readline() == "open\n"
        for _ in range(40):
            with pytest.raises(OSError) as e:
                reopen(base_dir)
            assert str(e.value) == held(base_dir)
        assert writer.stdout.readline() == "written\n"
        writer.stdin.write("\n")
        writer.stdin.flush()
        assert writer.wait(timeout=60) == 0
    finally:
        writer.kill()
        writer.wait()
    ix = reopen(base_dir)
    assert state(ix) == {i: str(i) for i in range(40)} and ix.total_vectors == 40 * 3000
    ix.close()
    assert kept_tails(base_dir) == {}


@pytest.mark.parametrize("fifo", [WAL, "shard_0.safetensors"])
def test_a_fifo_in_the_directory_does_not_hang_the_open(base_dir, fifo):
    os.makedirs(base_dir)
    os.mkfifo(os.path.join(base_dir, fifo))
    code = f"""
        import varnelo_shard_engine as vse
        try:
            print("opened", vse.ShardIndex({base_dir!r}, {DIM}).doc_count)
        except OSError as e:
            print(e)
        """
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    expected = {
        WAL: f"WAL replay failed: {os.path.join(base_dir, WAL)} is not a regular file",
        "shard_0.safetensors": "opened 0",  # the shard is left out
    }[fifo]
    assert child.stdout.strip() == expected, child.stderr


def test_a_forked_child_never_writes_the_parents_log(base_dir):
    # The child inherits the log and a copy of its unwritten buffer. Were it to write that copy
    # when it drops the index, the parent's superseded first version would land last. (Run in a
    # fresh single-threaded interpreter, as a process about to fork its workers would be.)
    script = textwrap.dedent(f"""
        import os, numpy as np, varnelo_shard_engine as vse
        ix = vse.ShardIndex({base_dir!r}, {DIM})
        ix.insert(1, np.ones((1, {DIM}), np.float32), "v1")  # buffered, not yet written
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:  # reads work, writes are refused, dropping the index writes nothing
            code = 0
            try:
                os.close(w)
                os.read(r, 1)  # until the parent has written its newer version
                code |= ix.get_payload(1) != "v1"
                try:
                    ix.insert(2, np.ones((1, {DIM}), np.float32))
                    code |= 2
                except OSError as e:
                    code |= 4 * ("forked process does not write it" not in str(e))
                del ix
            finally:
                os._exit(code)
        os.close(r)
        ix.update_payload(1, "v2")
        ix.sync()
        os.write(w, b"x")
        os.close(w)
        assert os.waitpid(pid, 0)[1] == 0
        ix.close()
    """)
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)
    ix = vse.ShardIndex(base_dir, DIM)
    assert (ix.get_payload(1), ix.doc_count) == ("v2", 1)
    ix.close()


# A child forked while an index is open (a fork pool's workers, a bare fork that never touches the
# index) must not keep its directory locked: the parent holds the lock against a second opener until
# it closes, and then the directory opens again at once while the child lives.
FORKED_WHILE_OPEN = """
    import multiprocessing as mp, os, sys, numpy as np, varnelo_shard_engine as vse
    def work(x):
        return x
    base_dir, how = sys.argv[1], sys.argv[2]
    ix = vse.ShardIndex(base_dir, 4)
    ix.insert(1, np.ones((1, 4), np.float32), "kept")
    ix.sync()
    def parent_side():
        try:
            vse.ShardIndex(base_dir, 4)
            print("second open while the parent holds it")
        except OSError as e:
            print(e)
        global ix
        ix.close()
        del ix
        again = vse.ShardIndex(base_dir, 4)
        print(again.doc_count, again.get_payload(1))
        again.close()
    if how == "pool":
        with mp.get_context("fork").Pool(2) as pool:
            assert pool.map(work, range(4)) == [0, 1, 2, 3]
            parent_side()
    else:
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(w)
            os.read(r, 1)  # lives until the parent is done
            os._exit(0)
        os.close(r)
        parent_side()
        os.close(w)
        assert os.waitpid(pid, 0)[1] == 0
"""


@pytest.mark.parametrize("how", ["pool", "fork"])
def test_a_forked_child_does_not_keep_the_directory_locked(base_dir, how):
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(FORKED_WHILE_OPEN), base_dir, how],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [held(base_dir), "1 kept"]


def test_a_killed_parent_leaves_no_lock_to_its_forked_child(base_dir):
    parent = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, time, numpy as np, varnelo_shard_engine as vse
        ix = vse.ShardIndex({base_dir!r}, {DIM})
        ix.insert(1, np.ones((1, {DIM}), np.float32), "synced")
        ix.sync()
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(w, b"x")  # running: past its fork handlers
            time.sleep(120)
            os._exit(0)
        os.read(r, 1)
        print(pid, flush=True)
        time.sleep(120)
        """)], stdout=subprocess.PIPE, text=True)
    child_pid = None
    try:
        child_pid = int(parent.stdout.readline())
        parent.send_signal(signal.SIGKILL)
        parent.wait(timeout=60)
        os.kill(child_pid, 0)  # still alive
        ix = reopen(base_dir)
        assert state(ix) == {1: "synced"}
        ix.close()
    finally:
        parent.kill()
        parent.wait()
        if child_pid is not None:
            os.kill(child_pid, signal.SIGKILL)


def test_dropping_without_close_syncs_the_log(base_dir):
    ix = reopen(base_dir)
    ix.insert(1, np.ones((3, DIM), np.float32), "kept")
    ix.insert(2, np.ones((1, DIM), np.float32))
    del ix
    ix = reopen(base_dir)
    assert state(ix) == {1: "kept", 2: None} and ix.total_vectors == 4
    ix.close()


def run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_crash_keeps_every_synced_document(base_dir):
    child = run_child(
        f"""
        import os, signal, numpy as np, varnelo_shard_engine as vse
        ix = vse.ShardIndex({base_dir!r}, {DIM})
        for i in range(200):
            ix.insert(i, np.full((i % 7 + 1, {DIM}), i, np.float32), '{{"i": %d}}' % i)
        ix.sync()
        # Unsynced writes, one of them larger than the log buffer so it is mid-file when we die.
        for i in range(200, 300):
            ix.insert(i, np.ones((i % 100 + 1, {DIM}), np.float32))
        os.kill(os.getpid(), signal.SIGKILL)
        """
    )
    assert child.returncode == -signal.SIGKILL
    ix = reopen(base_dir)
    ids = set(ix.doc_ids().tolist())
    assert set(range(200)) <= ids <= set(range(300))
    assert ix.get_payload(123) == '{"i": 123}'
    ix.insert(1000, np.ones((1, DIM), np.float32), "after")
    ix.sync()
    del ix
    ix = reopen(base_dir)
    assert ix.get_payload(1000) == "after"
    ix.close()


def test_torn_tail_from_a_crash_mid_record(base_dir):
    ix = reopen(base_dir)
    for i in range(10):
        ix.insert(i, np.ones((4, DIM), np.float32))
    ix.close()
    path = os.path.join(base_dir, WAL)
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.truncate(size - 5)  # the last record loses its end
        f.seek(0)
        torn_log = f.read()
    ix = reopen(base_dir)
    assert ix.doc_ids().tolist() == list(range(9))
    cut_at = os.path.getsize(path)
    assert kept_tails(base_dir) == {f"{WAL}.corrupt-{cut_at}": torn_log[cut_at:]}
    ix.insert(42, np.ones((1, DIM), np.float32))
    ix.sync()
    del ix
    ix = reopen(base_dir)
    assert ix.doc_ids().tolist() == list(range(9)) + [42]
    ix.close()


def kept_tails(base_dir):
    """The files in which opens kept the log tails they cut off, by name."""
    out = {}
    for name in sorted(os.listdir(base_dir)):
        if name.startswith(WAL + ".corrupt-"):
            with open(os.path.join(base_dir, name), "rb") as f:
                out[name] = f.read()
    return out


def flip(data, pos, bit):
    return data[:pos] + bytes([data[pos] ^ (1 << bit)]) + data[pos + 1 :]


def test_a_damaged_record_keeps_every_byte_after_it(base_dir):
    """Replay stops at a damaged record, but the records behind it are kept for an operator."""
    records = [ins(i, f"p{i}", n=2) for i in range(1000)]
    log = b"".join(records)
    plen = 2  # payload "p0" of the first record
    # One flipped bit in each field of the first record: op, doc_id, payload_len (to a CRC
    # mismatch, past the limit, past the end of the file), payload, n_vectors, dim, values, crc.
    flips = [(0, 2), (1, 0), (9, 0), (12, 3), (11, 5), (13, 1), (13 + plen, 0), (17 + plen, 6),
             (21 + plen, 7), (len(records[0]) - 1, 4)]
    for k, (pos, bit) in enumerate(flips):
        damaged = flip(log, pos, bit)
        write_log(base_dir, damaged)
        ix = reopen(base_dir)
        assert ix.doc_count == 0
        ix.close()
        assert os.path.getsize(os.path.join(base_dir, WAL)) == 0
        # Every copy has a name of its own; none is overwritten.
        names = [f"{WAL}.corrupt-0"] + [f"{WAL}.corrupt-0.{j}" for j in range(1, k + 1)]
        tails = kept_tails(base_dir)
        assert sorted(tails) == sorted(names) and tails[names[k]] == damaged
    # An operator mends the bit in the copy and puts it back: all 1000 documents return.
    os.replace(os.path.join(base_dir, names[-1]), os.path.join(base_dir, WAL))
    with open(os.path.join(base_dir, WAL), "r+b") as f:
        f.seek(flips[-1][0])
        f.write(bytes([log[flips[-1][0]]]))
    ix = reopen(base_dir)
    assert ix.doc_count == 1000 and ix.get_payload(999) == "p999"
    ix.close()


def test_a_damaged_record_mid_log_and_a_clean_log(base_dir):
    records = [ins(i, n=3) for i in range(20)]
    write_log(base_dir, *records)
    reopen(base_dir).close()
    assert kept_tails(base_dir) == {}  # nothing was cut
    at = sum(len(r) for r in records[:12])
    damaged = flip(b"".join(records), at + 30, 0)
    write_log(base_dir, damaged)
    ix = reopen(base_dir)
    assert ix.doc_ids().tolist() == list(range(12))
    ix.close()
    assert kept_tails(base_dir) == {f"{WAL}.corrupt-{at}": damaged[at:]}


def test_a_tail_that_cannot_be_kept_is_not_cut(base_dir):
    records = [ins(i, n=16) for i in range(50)]
    write_log(base_dir, records[0], corrupt(records[1]), *records[2:])
    size = os.path.getsize(os.path.join(base_dir, WAL))
    child = run_child(
        f"""
        import resource, signal, varnelo_shard_engine as vse
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        try:
            vse.ShardIndex({base_dir!r}, {DIM})
        except OSError as e:
            print(e)
        """
    )
    copy = os.path.join(base_dir, f"{WAL}.corrupt-{len(records[0])}")
    assert child.stdout.strip() == (
        f"WAL open failed: cannot keep the unread tail of {os.path.join(base_dir, WAL)} "
        f"(from byte {len(records[0])}) in {copy}: File too large (os error 27)"
    ), child.stderr
    assert os.path.getsize(os.path.join(base_dir, WAL)) == size and kept_tails(base_dir) == {}


def limited_child(base_dir):
    """The start of a child that meets the file-size limit: its index holds one synced record,
    "first", and `soft, hard` are its limits."""
    return f"""
        import os, resource, signal, numpy as np, varnelo_shard_engine as vse
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        ix = vse.ShardIndex({base_dir!r}, {DIM})
        ix.insert(1, np.ones((1, {DIM}), np.float32), "first")
        ix.sync()
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        """


def test_failed_write_does_not_hide_later_records(base_dir):
    """A record cut short by a write error is taken back, so records after it replay."""
    child = run_child(
        limited_child(base_dir) + f"""
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, hard))
        try:
            ix.insert(2, np.ones((4096, {DIM}), np.float32))  # 64 KiB, written straight to the file
        except OSError as e:
            print(e)
        assert not ix.contains(2)
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        ix.insert(3, np.ones((1, {DIM}), np.float32), "third")
        ix.close()
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "WAL write failed: File too large (os error 27)"
    ix = reopen(base_dir)
    assert state(ix) == {1: "first", 3: "third"}
    ix.close()


def test_a_failed_close_is_retried_by_the_next(base_dir):
    """A close() after "WAL close failed" tries again: it raises while the log still cannot take
    the buffered record, and returns only once the record is in the log and the directory free."""
    child = run_child(
        limited_child(base_dir) + f"""
        ix.insert(2, np.ones((1, {DIM}), np.float32), "second")  # buffered
        resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize({os.path.join(base_dir, WAL)!r}), hard))
        def attempt(call):
            try:
                print(call())
            except (OSError, RuntimeError) as e:
                print(e)
        attempt(ix.close)
        attempt(ix.close)  # fails again
        attempt(lambda: ix.doc_count)
        attempt(lambda: vse.ShardIndex({base_dir!r}, {DIM}))  # still held
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        attempt(ix.close)
        attempt(ix.close)  # closed: nothing more to do
        again = vse.ShardIndex({base_dir!r}, {DIM})  # free at once, with both records
        print(again.get_payload(1), again.get_payload(2))
        os._exit(0)  # no drop, which would write the record anyway
        """
    )
    assert child.returncode == 0, child.stderr
    too_large = "WAL close failed: File too large (os error 27)"
    assert child.stdout.splitlines() == [too_large, too_large, "ShardIndex is closed", held(base_dir),
                                         "None", "None", "first second"], child.stderr


def keep_rewriting(arr, stop):
    """Rewrites every value of `arr` over and over, without the GIL, as a thread of the host running
    NumPy loops over its own array does: each call writes it `reps` times with new values."""
    reps = max(2, 2**24 // arr.size)
    out = np.lib.stride_tricks.as_strided(arr, (reps,) + arr.shape, (0,) + arr.strides)
    ramp = np.arange(reps, dtype=np.float32).reshape((reps,) + (1,) * arr.ndim)
    while not stop.is_set():
        np.add(ramp, np.float32(len(ramp)), out=out)
        ramp += np.float32(1)


@pytest.mark.parametrize("rows, inserts", [(16384, 40), (16, 20000)], ids=["straight to the file", "buffered"])
def test_an_array_changing_under_an_insert_costs_the_log_nothing(base_dir, rows, inserts):
    """What a record's checksum covers is what reaches the file, even while another thread changes
    the array being inserted; else the next open cuts the log at that record, with every synced
    one behind it. The racing thread may leave torn rows in that one document, nothing more."""
    arr = np.zeros((rows, 64), np.float32)
    stop = threading.Event()
    racer = threading.Thread(target=keep_rewriting, args=(arr, stop))
    racer.start()
    try:
        ix = vse.ShardIndex(base_dir, 64)
        for i in range(inserts):
            ix.insert(i, arr, str(i))
    finally:
        stop.set()
        racer.join()
    ix.insert(inserts, np.ones((1, 64), np.float32), "last")
    ix.sync()
    ix.close()
    ix = reopen(base_dir, 64)
    assert ix.doc_count == inserts + 1 and ix.get_payload(inserts) == "last"
    assert ix.total_vectors == inserts * rows + 1
    ix.close()
    assert kept_tails(base_dir) == {}


def test_random_writes_and_reopens_match_a_model(base_dir):
    """Every write and every reopen agrees with a dict that applies the same operations."""
    rng = np.random.default_rng(3)
    model = {}  # id -> (payload or None, rows)
    ix = reopen(base_dir)
    for step in range(1500):
        doc_id = int(rng.integers(0, 60))
        op = rng.integers(0, 10)
        if op < 5:
            n = int(rng.integers(0, 4))
            payload = [None, "", f"p{step}"][int(rng.integers(0, 3))]
            ix.insert(doc_id, np.full((n, DIM), step, np.float32), payload)
            model[doc_id] = (payload, n)
        elif op < 7:
            assert ix.delete(doc_id) == (doc_id in model)
            model.pop(doc_id, None)
        elif op < 9:
            payload = f"u{step}" if step % 3 else ""
            assert ix.update_payload(doc_id, payload) == (doc_id in model)
            if doc_id in model:
                model[doc_id] = (payload, model[doc_id][1])
        else:
            if step % 2:
                ix.close()
            else:
                del ix
            ix = reopen(base_dir)
            # An empty payload is written with length 0 and comes back as no payload.
            model = {d: (p or None, n) for d, (p, n) in model.items()}
        assert ix.doc_count == len(model)
    assert state(ix) == {d: p for d, (p, _) in model.items()}
    assert ix.total_vectors == sum(n for _, n in model.values())
    ix.close()


def peak_rss_growth(fn):
    """Bytes by which the process's peak resident size rose while `fn` ran."""
    def kib(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(field))

    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the peak to the current size
    except OSError:
        pytest.skip("the peak resident size cannot be reset here")
    before = kib("VmRSS:")
    fn()
    return (kib("VmHWM:") - before) * 1024


def test_a_short_log_claiming_huge_fields_costs_no_memory(base_dir):
    # 21 bytes that claim 2^26 values, and 13 that claim a 64 MiB payload: each ends the replay
    # as a torn record without setting memory aside for what the file does not hold.
    header = bytes([1]) + (3).to_bytes(8, "little")
    for tail in (
        header + (0).to_bytes(4, "little") + (65536).to_bytes(4, "little") + (1024).to_bytes(4, "little"),
        header + (64 * 2**20).to_bytes(4, "little"),
    ):
        write_log(base_dir, ins(1), tail)
        opened = []
        grew = peak_rss_growth(lambda: opened.append(reopen(base_dir)))
        assert opened[0].doc_ids().tolist() == [1]
        assert grew < 32 * 2**20
        opened.pop().close()
