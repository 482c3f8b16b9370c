"""The module across the life of a process: interpreter exit while daemon threads are inside
calls, fork() after the worker pools have run, and descendants of an index's opener."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import varnelo_shard_engine as vse
from conftest import TESTS_DIR, THREAD_HELPERS, run_python

# Daemon threads loop over both kernels (on the process-wide pool and on a pool of their own), over
# index writes, over searches and over every other reader of shard and merged files; the main thread
# returns soon after every loop has completed a call, so the interpreter shuts down while they are
# inside calls: most without the GIL, some running Python code that converting an argument calls.
EXIT_WHILE_BUSY = """
    import os, sys, threading, time
    import numpy as np
    import varnelo_shard_engine as vse
    from safetensors.numpy import save_file
    from conftest import merged_files, put
    from kernel_reference import rroq158_inputs, rroq4_inputs

    x158 = rroq158_inputs(np.random.default_rng(0), 2, 200, 8, 4, 4, 2, 2, 5)
    x4 = rroq4_inputs(np.random.default_rng(0), 2, 200, 8, 4, 8, 2, 4, 5)
    ix = vse.ShardIndex(sys.argv[1], 4)
    rows = np.ones((3, 4), np.float32)
    calls = [lambda f=f, x=x, n=n: f(**x, n_threads=n)
             for f, x in ((vse.rroq158_score_batch, x158), (vse.rroq4_riem_score_batch, x4))
             for n in (None, 2)]
    calls += [lambda: ix.insert(7, rows, "payload"), lambda: ix.update_payload(7, "other")]

    # Python code that a conversion runs: a generator as __iter__, a loop in __index__.
    class Index:
        def __index__(self):
            total = 0
            for i in range(5000):
                total += i
            return total
    class Ids(list):
        def __iter__(self):
            yield from super().__iter__()
    ids = Ids([Index(), Index()])
    calls += [lambda: ix.register_shard_docs(ids, [0, 0], [0, 0], [1, 1])] * 2

    # Searches, which score without the GIL, one of them through a Python callback.
    def gpu_score_fn(query, docs, doc_ids, offsets):
        return [float(sum(range(1000))) for _ in doc_ids]
    for n, fn in enumerate((None, gpu_score_fn)):
        searched = f"{sys.argv[1]}-search{n}"  # a directory serves one open index
        os.makedirs(searched)
        save_file({"embeddings": np.ones((8, 4), np.float32)}, os.path.join(searched, "shard_0.safetensors"))
        other = vse.ShardIndex(searched, 4, fn)
        other.register_shard_docs([1, 2], [0, 0], [0, 4], [4, 8])
        calls.append(lambda other=other: other.search(np.ones((2, 4), np.float32)))

    # The readers of all three shard tensors, on two indexes over the same shards: one that fetches
    # rebuilt rows through the codec, one that fetches the stored rows. Each call looks every
    # shard's tensors up by name; a long query keeps searches inside the scoring that follows.
    rng = np.random.default_rng(1)
    shards = [{"embeddings": rng.standard_normal((512, 32)).astype(np.float32),
               "centroid_codes": rng.integers(0, 4, 512).astype(np.uint16),
               "packed_residuals": rng.integers(0, 256, (512, 8)).astype(np.uint8)} for _ in range(16)]
    docs = list(range(32))
    starts = [i % 2 * 256 for i in docs]  # two documents a shard
    q, long_q = rng.standard_normal((3, 32)).astype(np.float32), rng.standard_normal((64, 32)).astype(np.float32)
    for n, compressed in enumerate((True, False)):
        d = f"{sys.argv[1]}-readers{n}"
        os.makedirs(d)
        for s, tensors in enumerate(shards):
            save_file(tensors, os.path.join(d, f"shard_{s}.safetensors"))
        reader = vse.ShardIndex(d, 32)
        reader.register_shard_docs(docs, [i // 2 for i in docs], starts, [r + 256 for r in starts])
        reader.set_centroids(rng.standard_normal((4, 32)).astype(np.float32))
        reader.set_codec([0.0, 0.1, 0.2, 0.3], 2)
        reader.set_use_compression(compressed)
        reader.set_doc_means(rng.standard_normal((32, 32)).astype(np.float32), docs)
        reader.load_merged(put(d + "-merged", merged_files({i: np.ones((2, 32)) for i in docs}, dim=32)))
        calls += [lambda r=reader: r.fetch_candidate_embeddings(docs), lambda r=reader: r.search(long_q)]
    calls += [lambda: reader.score_candidates_approx(q, docs), lambda: reader.score_candidates_exact(q, docs),
              lambda: reader.proxy_score(q, docs)]
    started = threading.Barrier(len(calls) + 1)

    def loop(call):
        call()
        started.wait()
        while True:
            call()

    for call in calls:
        threading.Thread(target=loop, args=(call,), daemon=True).start()
    started.wait()
    time.sleep(0.1)  # let them settle into their loops
"""


def test_exit_while_daemon_threads_are_inside_calls(tmp_path):
    # Each run is a coin toss over where the threads are when the interpreter ends them; before
    # such threads were parked, nearly every run aborted ("terminate called without an active
    # exception") or crashed.
    code = textwrap.dedent(EXIT_WHILE_BUSY)
    runs = [subprocess.Popen([sys.executable, "-c", code, str(tmp_path / f"index{i}")], cwd=TESTS_DIR,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for i in range(4)]
    for run in runs:
        out, err = run.communicate(timeout=120)
        assert run.returncode == 0, f"exit status {run.returncode}: {err}"


def test_the_module_leaves_no_destructor_to_run_at_exit():
    # exit() runs the destructors of static and namespace-scope objects while daemon threads may
    # still be inside calls reading them: the exit test above, under ThreadSanitizer (make
    # test-tsan), reports it. The compiler registers every such destructor through __cxa_atexit
    # (those of thread_local objects through __cxa_thread_atexit), so a module importing neither
    # has none to run: what readers share is literals, trivially destructible values or objects
    # leaked on purpose.
    listed = subprocess.run(["nm", "-D", "--undefined-only", vse.__file__], capture_output=True, text=True,
                            check=True).stdout
    imported = {line.split()[-1].split("@")[0] for line in listed.splitlines() if line.strip()}
    assert "PyErr_SetString" in imported, listed  # the listing is the module's imports
    registrations = {"__cxa_atexit", "atexit", "on_exit", "__cxa_thread_atexit", "__cxa_thread_atexit_impl"}
    assert imported & registrations == set()


def test_forked_child_builds_its_own_pools():
    # The parent has run both kinds of pool; the child has copies of them but none of their
    # threads. SIGALRM ends a child that hangs.
    out = run_python(THREAD_HELPERS + """
    import signal
    import varnelo_shard_engine as vse
    from kernel_reference import rroq158_inputs, rroq4_inputs

    batches = [(vse.rroq158_score_batch, rroq158_inputs(np.random.default_rng(1), 2, 60, 3, 2, 4, 2, 2, 5)),
               (vse.rroq4_riem_score_batch, rroq4_inputs(np.random.default_rng(1), 2, 60, 3, 2, 8, 2, 4, 5))]
    def run_all():
        return [fn(**x, n_threads=n).tobytes() for fn, x in batches for n in (None, 0, 2)]

    want = run_all()
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)
        base = threads()
        same = run_all() == want
        print(same, " ".join(new_threads(base)), flush=True)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    print("child exit", os.waitstatus_to_exitcode(status))
    print(run_all() == want)
    """, env={"RAYON_NUM_THREADS": "2"})
    lines = out.splitlines()
    assert lines[-2:] == ["child exit 0", "True"], out  # -14: the child hung
    same, *names = lines[0].split()
    assert same == "True"
    # The child started a process-wide pool of two (unnamed) workers and a two-worker pool per kernel.
    assert len(names) == 6 and names[2:] == ["rroq158-2-0", "rroq158-2-1", "rroq4riem-2-0", "rroq4riem-2-1"]


# A thread of the parent sits inside a search, in its callback, so it holds the index's shared
# borrow when the main thread forks. The child has no such thread: its exclusive methods must not
# find that borrow. The parent's own borrow is untouched. SIGALRM ends a child that hangs.
FORK_BESIDE_A_CALL = """
    import os, signal, threading
    import numpy as np
    import varnelo_shard_engine as vse
    from safetensors.numpy import save_file
    from conftest import merged_files, put

    base, merged = {base!r}, put({merged!r}, merged_files({{5: np.ones((2, 4))}}, dim=4))
    os.makedirs(base)
    save_file({{"embeddings": np.ones((2, 4), np.float32)}}, os.path.join(base, "shard_0.safetensors"))
    inside, release = threading.Event(), threading.Event()
    def score(query, docs, doc_ids, offsets):
        inside.set()
        release.wait()
        return [1.0] * len(doc_ids)
    ix = vse.ShardIndex(base, 4, score)
    ix.register_shard_docs([1], [0], [0], [2])
    searching = threading.Thread(target=ix.search, args=(np.ones((1, 4), np.float32),))
    searching.start()
    inside.wait()

    def exclusive_calls():
        calls = [("set_centroids", lambda: ix.set_centroids(np.ones((2, 4), np.float32))),
                 ("set_codec", lambda: ix.set_codec([0.0, 0.0, 0.0, 0.0], 2)),
                 ("set_use_compression", lambda: ix.set_use_compression(True)),
                 ("load_merged", lambda: ix.load_merged(merged)),
                 ("close", ix.close)]
        for name, call in calls:
            try:
                call()
                print(name, "ok", flush=True)
            except Exception as e:
                print(name, type(e).__name__, str(e).replace(str(parent), "{{parent}}"), flush=True)
        try:
            ix.doc_count
        except RuntimeError as e:
            print(e, flush=True)

    parent = os.getpid()
    pid = os.fork()
    if pid == 0:
        signal.alarm(30)
        exclusive_calls()
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    print("child exit", os.waitstatus_to_exitcode(status))
    print("parent", end=" ")
    exclusive_calls()  # still borrowed by the search: refused
    release.set()
    searching.join()
    ix.close()
    print("parent closed")
"""


def test_forked_child_drops_the_borrows_of_threads_it_does_not_have(tmp_path):
    out = run_python(FORK_BESIDE_A_CALL.format(base=str(tmp_path / "ix"), merged=str(tmp_path / "merged")))
    # The log belongs to the parent, so the child's close cannot sync it; the index closes all the same.
    assert out.splitlines() == [
        "set_centroids ok", "set_codec ok", "set_use_compression ok", "load_merged ok",
        "close OSError WAL close failed: the log belongs to process {parent}, which opened it; "
        "a forked process does not write it",
        "ShardIndex is closed",
        "child exit 0",
        "parent set_centroids RuntimeError Already borrowed",
        "set_codec RuntimeError Already borrowed",
        "set_use_compression RuntimeError Already borrowed",
        "load_merged RuntimeError Already borrowed",
        "close RuntimeError Already borrowed",
        "parent closed",
    ], out


def test_a_child_forked_inside_a_call_keeps_that_calls_borrow_until_it_returns(tmp_path):
    out = run_python(f"""
    import os, signal
    import numpy as np
    import varnelo_shard_engine as vse
    from safetensors.numpy import save_file

    base = {str(tmp_path / "ix")!r}
    os.makedirs(base)
    save_file({{"embeddings": np.ones((2, 4), np.float32)}}, os.path.join(base, "shard_0.safetensors"))
    def try_exclusive():
        try:
            ix.set_use_compression(True)
            return "ok"
        except RuntimeError as e:
            return str(e)
    forked = {{}}
    def score(query, docs, doc_ids, offsets):
        forked["pid"] = os.fork()
        if forked["pid"] == 0:
            signal.alarm(30)
            forked["inside"] = try_exclusive()
        return [2.0] * len(doc_ids)
    ix = vse.ShardIndex(base, 4, score)
    ix.register_shard_docs([1], [0], [0], [2])
    ids, scores = ix.search(np.ones((1, 4), np.float32))
    if forked["pid"] == 0:
        print("child", forked["inside"], "|", ids.tolist(), scores.tolist(), "|", try_exclusive(), flush=True)
        os._exit(0)
    _, status = os.waitpid(forked["pid"], 0)
    print("child exit", os.waitstatus_to_exitcode(status))
    print("parent", try_exclusive())
    """)
    assert out.splitlines() == [
        "child Already borrowed | [1] [2.0] | ok",
        "child exit 0",
        "parent ok",
    ], out


# The opener of an index forks a middle process and exits. The middle process opens a file of its
# own, which takes the number the log had (its fork handler closed it), then forks a child that is
# given the opener's pid again: in a pid namespace, by setting the namespace's last pid. The child
# inherited the index; it must not take the log for its own, whatever its pid.
PID_REUSED = """
    import os, sys, time
    import numpy as np
    import varnelo_shard_engine as vse

    base, other = sys.argv[1], sys.argv[2]
    opener = os.fork()
    if opener == 0:
        opener = os.getpid()
        ix = vse.ShardIndex(base, 4)
        log_fd = next(int(fd) for fd in os.listdir("/proc/self/fd")
                      if os.readlink(f"/proc/self/fd/{fd}").endswith("shard.wal"))
        if os.fork() == 0:
            while os.getppid() == opener:  # until the opener is gone
                time.sleep(0.01)
            fd = os.open(other, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
            assert fd == log_fd, (fd, log_fd)
            for _ in range(100):
                with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                    f.write(str(opener - 1))
                child = os.fork()
                if child == 0:
                    if os.getpid() != opener:
                        os._exit(3)
                    try:
                        ix.insert(9, np.ones((1, 4), np.float32))
                        ix.sync()
                        print("wrote", flush=True)
                    except OSError as e:
                        print("refused:", e, flush=True)
                    os._exit(0)
                _, status = os.waitpid(child, 0)
                if os.waitstatus_to_exitcode(status) != 3:
                    break
                time.sleep(0.01)  # the opener's pid was not free yet
            else:
                print("the opener's pid never came back", flush=True)
            print("other file", os.fstat(fd).st_size, "bytes", flush=True)
        os._exit(0)
    os.waitpid(opener, 0)  # frees the opener's pid
    while True:  # the middle process, reparented here
        try:
            os.wait()
        except ChildProcessError:
            break
"""


def test_a_descendant_given_the_openers_pid_never_writes_the_log(tmp_path):
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        pytest.skip("needs unshare(1) and root for a pid namespace")
    base, other = tmp_path / "ix", tmp_path / "other"
    r = subprocess.run([unshare, "--pid", "--fork", sys.executable, "-c", textwrap.dedent(PID_REUSED), base, other],
                       capture_output=True, text=True, cwd=TESTS_DIR, timeout=120)
    if r.returncode != 0 and "unshare" in r.stderr:
        pytest.skip(f"no pid namespace here: {r.stderr.strip()}")
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and lines[0].startswith("refused: WAL write failed: ") and \
        lines[0].endswith("a forked process does not write it") and lines[1] == "other file 0 bytes", r.stdout
    assert os.path.getsize(base / "shard.wal") == 0
