"""Ctrl-C inside a long iter_prices_file, several threads replaying at once,
and Python code that re-enters an iterator from inside its own __next__."""

import bz2
import gzip
import hashlib
import json
import marshal
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import palisar
from child import PRELUDE, SANITIZED
from conftest import bzip2_built
from snapshot_helpers import REAL_FILES, change, message, open_prices, real_file

# ---- Ctrl-C ------------------------------------------------------------------------

SIGINT_CHILD = r"""
import ctypes  # before the count: the module keeps files of its own open
path, marker = sys.argv[2], sys.argv[3]
fds = len(os.listdir("/proc/self/fd"))
tasks = lambda: len(os.listdir("/proc/self/task"))
threads = tasks()
before = rss()
open(marker, "w").close()
start = time.perf_counter()
try:
    it = palisar.iter_prices_file(path)
except KeyboardInterrupt:
    interrupted_after = time.perf_counter() - start
    # Every thread of the call is joined before it raises (one just joined may
    # still be listed for a moment).
    deadline = time.monotonic() + 2
    while tasks() > threads and time.monotonic() < deadline:
        time.sleep(0.01)
    threads_left = tasks() - threads
    gc.collect()
    # Hand the allocator's free pages back, so that what is still counted is in use.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    small = palisar.iter_prices_file(sys.argv[4])
    done(outcome="interrupted", interrupted_after=interrupted_after, rss_before=before,
         rss_after=rss(), peak=peak_rss(), fds_leaked=len(os.listdir("/proc/self/fd")) - fds, threads_left=threads_left,
         small_snapshots=sum(1 for _ in small))
else:
    done(outcome="finished", seconds=time.perf_counter() - start, messages=len(it))
"""


@pytest.fixture(scope="module", params=["json", "json.bz2", "one-block.json.bz2", "json.gz"])
def big_file(tmp_path_factory, request):
    """About 300 MB of recorded messages: the football market 100 times over
    (more than a second to read on the development machine); as bzip2, 100
    streams, whose blocks are decoded on several threads, or 500 streams of
    one block each, which a thread with nothing else to do helps to decode; as
    gzip, 100 members, inflated on the calling thread while the text is parsed
    on every CPU."""
    if request.param.endswith("bz2") and not bzip2_built():
        pytest.skip("this palisar was built without libbz2")
    source = real_file(REAL_FILES[0])
    path = tmp_path_factory.mktemp("big") / ("big." + request.param)
    with open(source, "rb") as src:
        data = src.read()
    if request.param == "json.bz2":
        data = bz2.compress(data, 9)
    elif request.param == "one-block.json.bz2":
        step = len(data) // 5 + 1
        data = b"".join(bz2.compress(data[i:i + step], 9) for i in range(0, len(data), step))
    elif request.param == "json.gz":
        data = gzip.compress(data, 6, mtime=0)
    with open(path, "wb") as f:
        for _ in range(100):
            f.write(data)
    yield str(path)
    os.remove(path)


def test_ctrl_c_ends_a_long_read_promptly_and_releases_it(big_file, tmp_path):
    marker = tmp_path / "started"
    small = real_file(REAL_FILES[1])
    out = tmp_path / "result.json"
    proc = subprocess.Popen([sys.executable, "-c", PRELUDE + SIGINT_CHILD, str(out), big_file,
                             str(marker), small], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        deadline = time.monotonic() + 60
        while not marker.exists():
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.01)
        time.sleep(0.15)  # inside the call, which reads for more than a second
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=60)
        ended = time.monotonic() - sent
    finally:
        proc.kill()
    assert proc.returncode == 0 and stdout == "" and stderr == "", (proc.returncode, stderr[-2000:])
    result = json.loads(out.read_text())
    assert result["outcome"] == "interrupted", result
    # Signals are looked at every 4096 lines (a fraction of a megabyte here).
    assert ended < (5 if SANITIZED else 1.5), ended
    assert result["fds_leaked"] == 0 and result["threads_left"] == 0
    assert result["small_snapshots"] > 0
    if not SANITIZED:
        # What was read before the interrupt is freed again.
        assert result["rss_after"] - result["rss_before"] < (result["peak"] - result["rss_before"]) / 3, result


BLOCKED_CHILD = r"""
path, marker = sys.argv[2], sys.argv[3]
open(marker, "w").close()
start = time.perf_counter()
try:
    palisar.iter_prices_file(path)
except KeyboardInterrupt:
    done(outcome="interrupted")
except MemoryError:
    done(outcome="out of memory")
"""


@pytest.mark.parametrize("kind", ["no writer", "silent writer", "endless line"])
def test_ctrl_c_ends_a_read_that_blocks_or_never_ends_a_line(tmp_path, kind):
    """A FIFO without a writer blocks in open(), one whose writer says nothing
    in read(); a source without line feeds never completes a line."""
    fifo, marker, out = tmp_path / "prices.json", tmp_path / "started", tmp_path / "result.json"
    os.mkfifo(fifo)
    writer, feeding, stop = None, None, threading.Event()
    if kind != "no writer":
        # Opens at once, and keeps the pipe open; never blocks this process.
        writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
    if kind == "endless line":
        def feed():
            chunk = b"x" * 65536
            while not stop.is_set():
                try:
                    os.write(writer, chunk)
                except BlockingIOError:
                    pass
                time.sleep(0.001)  # tens of MB a second: no line in sight, far from memory's end
        feeding = threading.Thread(target=feed, daemon=True)
        feeding.start()
    proc = subprocess.Popen([sys.executable, "-c", PRELUDE + BLOCKED_CHILD, str(out), str(fifo),
                             str(marker)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while not marker.exists():
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.01)
        time.sleep(0.5)  # inside the call, blocked or reading
        assert proc.poll() is None
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=30)
        ended = time.monotonic() - sent
    finally:
        proc.kill()
        stop.set()
        if feeding:
            feeding.join()
        if writer is not None:
            os.close(writer)
    assert proc.returncode == 0 and stdout == "" and stderr == "", (proc.returncode, stderr[-2000:])
    assert json.loads(out.read_text())["outcome"] == "interrupted"
    assert ended < (5 if SANITIZED else 1.0), ended


# ---- threads -----------------------------------------------------------------------

def digest(path):
    """(snapshot count, SHA-256 over the to_dict() of every snapshot)."""
    h = hashlib.sha256()
    count = 0
    for book in palisar.iter_prices_file(path):
        h.update(marshal.dumps(book.to_dict(), 2))
        count += 1
    return count, h.hexdigest()


def test_threads_replaying_their_own_files_agree_with_one_thread(tmp_path):
    paths = []
    for name in REAL_FILES:
        plain = real_file(name)
        packed = tmp_path / (name + ".json.gz")
        with open(plain, "rb") as src, gzip.open(packed, "wb", compresslevel=1) as dst:
            shutil.copyfileobj(src, dst)
        paths += [plain, str(packed)]
    expected = {path: digest(path) for path in paths}
    # The plain and gzip forms of a file give the same snapshots.
    assert expected[paths[0]] == expected[paths[1]]

    results, errors = {}, []
    start = threading.Barrier(len(paths) * 2)

    def work(key, path):
        try:
            start.wait()
            results[key] = digest(path)
        except BaseException as e:  # reported below, with the thread's key
            errors.append((key, repr(e)))

    # Two threads per file, each with its own iterator.
    threads = [threading.Thread(target=work, args=((path, k), path)) for path in paths for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors
    assert results == {(path, k): expected[path] for path in paths for k in range(2)}


# ---- re-entering __next__ ----------------------------------------------------------

def definition_file(tmp_path, market_time="2024-05-01T13:30:00.000Z"):
    messages = [message(1000, change(marketDefinition={"marketTime": market_time},
                                     rc=[{"id": 1, "atb": [[2.0, 1.0]]}]))]
    messages += [message(1001 + i, change(rc=[{"id": 1, "atb": [[2.0, 2.0 + i]]}])) for i in range(3)]
    return open_prices(tmp_path, messages)


def test_python_code_run_by_strptime_cannot_re_enter_the_iterator(tmp_path):
    """datetime.strptime runs the pure-Python _strptime module inside __next__
    (for the definition's time texts); code there that touches the iterator
    meets the access counter. The code is a profile hook on the first call of
    a function of that module (its function names differ between versions)."""
    import _strptime

    # A one-digit month: the usual forms are converted without strptime.
    it = definition_file(tmp_path, "2024-5-01T13:30:00.000Z")
    seen = []

    def hook(frame, event, arg):
        if event == "call" and not seen and frame.f_code.co_filename == _strptime.__file__:
            for attempt in (lambda: next(it), lambda: len(it), lambda: iter(it)):
                try:
                    attempt()
                except RuntimeError as e:
                    seen.append(str(e))

    sys.setprofile(hook)
    try:
        first = next(it)
    finally:
        sys.setprofile(None)
    assert seen == ["Already borrowed", "Already mutably borrowed", "Already mutably borrowed"]
    # The refused calls consumed nothing: the iteration goes on with message 2.
    assert first.publish_time_epoch == 1000
    assert [b.publish_time_epoch for b in it] == [1001, 1002, 1003]
    assert len(it) == 4


def test_a_finalizer_run_while_the_cache_drops_a_list_cannot_re_enter(tmp_path):
    """A caller may put any object into a price list it was handed; when the
    cache later drops that list, the object's __del__ runs inside __next__."""
    it = definition_file(tmp_path)
    seen = []

    class Hook:
        def __del__(self):
            try:
                next(it)
            except RuntimeError as e:
                seen.append(str(e))

    book = next(it)
    book.runners[0].ex.available_to_back.append(Hook())
    del book  # now only the cache holds the list (through its slot and Runner)
    second = next(it)  # the back ladder changed: the old list and Runner are dropped
    assert seen == ["Already borrowed"]
    assert second.publish_time_epoch == 1001
    assert [(p.price, p.size) for p in second.runners[0].ex.available_to_back] == [(2.0, 2.0)]
    assert [b.publish_time_epoch for b in it] == [1002, 1003]


# ---- interpreter exit while daemon threads replay -----------------------------------

EXIT_CHILD = r"""
import threading
path = sys.argv[2]

def replay():
    while True:
        for book in palisar.iter_prices_file(path):
            book.runners[0].ex.available_to_back

for _ in range(4):
    threading.Thread(target=replay, daemon=True).start()
time.sleep(float(sys.argv[3]))
done(exited=True)
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime's no-return hook reports its own "
                    "sigaltstack call as a stack overflow while a thread is unwound")
def test_interpreter_exit_while_daemon_threads_replay(tmp_path):
    """At exit the interpreter ends daemon threads that want the lock back by
    unwinding them (3.12, 3.13), also through a step inside the definition's
    time parsing (a one-digit month goes to strptime, whose Python code lets
    the lock go): nothing may touch Python objects on the way out."""
    messages = [message(1000 + i, change(
        marketDefinition={"marketTime": "2024-05-01T13:30:00.000Z", "openDate": "2024-5-01T12:00:00Z",
                          "suspendTime": "2024-05-01T13:30:00.000Z", "status": "OPEN"},
        rc=[{"id": 1, "atb": [[2.0 + i % 7, 1.0 + i]]}, {"id": 2, "atl": [[3.0, 1.0 + i]]}]))
        for i in range(300)]
    path = tmp_path / "definitions.json"
    path.write_text("".join(json.dumps(m) + "\n" for m in messages))
    runs = 30
    crashed = []
    for i in range(runs):
        out = tmp_path / f"result{i}.json"
        proc = subprocess.run([sys.executable, "-c", PRELUDE + EXIT_CHILD, str(out), str(path),
                               str(0.05 + 0.01 * (i % 10))], capture_output=True, text=True, timeout=120)
        if proc.returncode != 0 or proc.stderr or not out.exists():
            crashed.append((proc.returncode, proc.stderr[-500:]))
    assert not crashed, (len(crashed), runs, crashed[:3])
