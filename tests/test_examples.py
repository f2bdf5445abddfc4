"""The recipes in examples/: the market summary they share (checked on a
hand-made market whose answers are known), the studies over a directory with
a process pool and on a Dask cluster, the progress bar and the typed example.
The recipes run as a user runs them, as scripts in a new interpreter."""

import bz2
import importlib.util
import json
import gzip
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import palisar
from conftest import DATA_DIR, RECORDED_MARKETS, bzip2_built
from snapshot_helpers import full_definition, message, write_prices

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

sys.path.insert(0, str(EXAMPLES))
from market_summary import prices_files, summarise  # noqa: E402

MS = 1000
OFF = 1704196800 * MS  # 2024-01-02T12:00:00Z


def run(script, *args, check=True):
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          capture_output=True, text=True, timeout=300, cwd=ROOT)
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


# ---- the summary of one market -------------------------------------------------------


def definition(**overrides):
    base = full_definition(
        marketTime="2024-01-02T12:00:00.000Z", status="OPEN", inPlay=False,
        runners=[{"id": 1, "sortPriority": 1, "status": "ACTIVE", "name": "1. Alpha"},
                 {"id": 2, "sortPriority": 2, "status": "ACTIVE", "name": "2. Beta"}])
    base.update(overrides)
    return base


def hand_made(with_market_time=True):
    d = definition() if with_market_time else {k: v for k, v in definition().items() if k != "marketTime"}
    mc = lambda **keys: {"id": "1.99", **keys}  # noqa: E731
    return [
        message(OFF - 600 * MS, mc(img=True, marketDefinition=d, rc=[
            {"id": 1, "atb": [[2.0, 10]], "atl": [[2.1, 5]], "trd": [[2.0, 3]]},
            {"id": 2, "atb": [[3.0, 1]], "trd": [[3.0, 7]]}])),
        message(OFF - 60 * MS - 1, mc(rc=[{"id": 1, "atb": [[2.2, 4]]}])),
        message(OFF - 60 * MS, mc(rc=[{"id": 2, "atl": [[3.5, 2]]}])),  # exactly a minute before
        message(OFF - 30 * MS, mc(rc=[{"id": 1, "atb": [[2.4, 9]]}])),
        message(OFF + 5 * MS, mc(marketDefinition={**d, "inPlay": True}, tv=57,
                                 rc=[{"id": 1, "trd": [[2.0, 50]]}])),
        message(OFF + 300 * MS, mc(tv=0, marketDefinition={**d, "status": "CLOSED", "runners": [
            {"id": 1, "sortPriority": 1, "status": "WINNER", "name": "1. Alpha"},
            {"id": 2, "sortPriority": 2, "status": "LOSER", "name": "2. Beta"}]},
            rc=[{"id": 1, "trd": [[2.0, 0]], "atb": [[2.4, 0], [2.2, 0], [2.0, 0]]},
                {"id": 2, "trd": [[3.0, 0]]}])),
    ]


def prices_at(summary):
    return {r["name"]: (r["best_back"], r["best_lay"]) for r in summary["runners"]}


def test_summary_of_a_hand_made_market(tmp_path):
    s = summarise(write_prices(tmp_path, hand_made(), name="1.99"))
    assert s["file"] == "1.99" and s["market_id"] == "1.99"
    assert (s["market_name"], s["event_name"], s["market_type"]) == ("A4 480m", "Romf 19th Apr", "PLACE")
    assert s["market_time"] == "2024-01-02T12:00:00"
    assert s["snapshot_time"] == "2024-01-02T11:59:00"
    assert prices_at(s) == {"1. Alpha": (2.2, 2.1), "2. Beta": (3.0, 3.5)}
    # Peak traded volumes, although the final snapshot shows empty ladders.
    assert {r["name"]: r["traded"] for r in s["runners"]} == {"1. Alpha": 50, "2. Beta": 7}
    assert (s["traded_volume"], s["total_matched"]) == (57, 57)
    assert s["winners"] == ["1. Alpha"]
    assert s["snapshots"] == 6


@pytest.mark.parametrize("before, snapshot_time, alpha", [
    (0, "2024-01-02T11:59:30", (2.4, 2.1)),
    (60.001, "2024-01-02T11:58:59.999000", (2.2, 2.1)),
    (3600, None, (None, None)),  # the file starts later
])
def test_summary_moment_before_the_off(tmp_path, before, snapshot_time, alpha):
    s = summarise(write_prices(tmp_path, hand_made()), before=before)
    assert s["snapshot_time"] == snapshot_time
    assert prices_at(s)["1. Alpha"] == alpha


def test_summary_without_market_time_takes_the_last_open_pre_play_snapshot(tmp_path):
    s = summarise(write_prices(tmp_path, hand_made(with_market_time=False)))
    assert s["market_time"] is None
    assert s["snapshot_time"] == "2024-01-02T11:59:30"


@pytest.mark.parametrize("content, expected", [
    (b"", {"market_id": None, "snapshots": 0}),
    (b"{not json\n", {"error": "key must be a string at line 1 column 2"}),
])
def test_summary_of_empty_and_unreadable_files(tmp_path, content, expected):
    path = tmp_path / "f"
    path.write_bytes(content)
    assert summarise(str(path)) == {"file": "f", **expected}


# ---- studies over a directory --------------------------------------------------------


@pytest.fixture(scope="module")
def study_dir(tmp_path_factory):
    """Three generated markets, the recorded ones (linked, when present), a
    bzip2 copy of a generated one and a file that cannot be read."""
    out = tmp_path_factory.mktemp("study")
    subprocess.run([sys.executable, str(ROOT / "bench" / "generate.py"), str(out), "--target-mb", "1",
                    "--markets", "3", "--seed", "11"], check=True, capture_output=True, timeout=300)
    generated = sorted(out.iterdir())
    assert len(generated) == 3
    if bzip2_built():
        (out / (generated[0].name + ".bz2")).write_bytes(bz2.compress(generated[0].read_bytes()))
    (out / "broken.gz").write_bytes(b"not gzip")
    for name in RECORDED_MARKETS:
        if (DATA_DIR / name).is_file():
            (out / name).symlink_to(DATA_DIR / name)
    return out


@pytest.fixture(scope="module")
def expected(study_dir):
    """The summaries computed here, one file after another."""
    return [summarise(p) for p in prices_files([str(study_dir)])]


def test_sequential_summaries_of_the_study_dir(study_dir, expected):
    by_file = {s["file"]: s for s in expected}
    assert len(expected) == len(os.listdir(study_dir))
    assert by_file["broken.gz"] == {"file": "broken.gz", "error": "invalid gzip header"}
    generated = sorted(n for n in by_file if n.startswith("horse-win-") and not n.endswith(".bz2"))
    if bzip2_built():
        copy = dict(by_file[generated[0] + ".bz2"], file=generated[0])
        assert copy == by_file[generated[0]]
    for name in generated:
        s = by_file[name]
        assert len(s["winners"]) == 1 and s["snapshot_time"] is not None
        assert s["snapshot_time"] < s["market_time"]
        for r in s["runners"]:
            if r["best_back"] is not None and r["best_lay"] is not None:
                assert r["best_back"] < r["best_lay"]


def test_study_pool(study_dir, expected):
    proc = run("study_pool.py", study_dir, "--json", "--workers", 2)
    assert json_lines(proc.stdout) == expected


def test_study_pool_table(study_dir, expected):
    text = run("study_pool.py", study_dir, "--workers", 2).stdout
    for s in expected:
        if "error" in s:
            assert f"{s['file']}: cannot be read: {s['error']}" in text
        else:
            assert s["market_id"] in text
            assert f"winner: {', '.join(s['winners']) or '-'}" in text


@pytest.fixture(scope="module")
def dask_distributed():
    if importlib.util.find_spec("distributed") is None:
        pytest.skip("dask[distributed] is not installed in this environment "
                    "(scripts/test installs it when PyPI can be reached)")
    import distributed
    return distributed


def test_study_dask_on_a_local_cluster(study_dir, expected, dask_distributed):
    proc = run("study_dask.py", study_dir, "--json")
    assert json_lines(proc.stdout) == expected


@pytest.fixture
def dask_processes(tmp_path, dask_distributed):
    """A scheduler and a worker started as separate commands, as on a real
    cluster, in a directory away from examples/ so that the workers cannot
    import market_summary unless the recipe sends it to them. Yields the
    scheduler address."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    info = tmp_path / "scheduler.json"
    started = []

    def start(*args):
        started.append(subprocess.Popen([sys.executable, "-m", "dask", *args], cwd=tmp_path, env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    try:
        start("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
              "--scheduler-file", str(info))
        start("worker", "--scheduler-file", str(info), "--nworkers", "2", "--nthreads", "1",
              "--no-dashboard", "--local-directory", str(tmp_path / "work"))
        with dask_distributed.Client(scheduler_file=str(info), timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            yield client.scheduler.address
    finally:
        for proc in reversed(started):
            proc.terminate()
        for proc in reversed(started):
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def test_study_dask_on_a_running_scheduler(study_dir, expected, dask_processes):
    proc = run("study_dask.py", study_dir, "--json", "--scheduler", dask_processes)
    assert json_lines(proc.stdout) == expected


# ---- one long replay -----------------------------------------------------------------


def test_progress_bar(study_dir):
    if importlib.util.find_spec("tqdm") is None:
        pytest.skip("tqdm is not installed in this environment")
    path = sorted(study_dir.glob("horse-win-*[0-9]"))[0]
    snapshots = sum(1 for _ in __import__("palisar").iter_prices_file(str(path)))
    proc = run("progress.py", path)
    assert "100%" in proc.stderr
    assert f": {snapshots:,} snapshots," in proc.stdout
    assert proc.stdout.endswith("final status CLOSED\n")


def test_typed_usage(data_dir):
    proc = run("typed_usage.py", data_dir / "greyhound-win-1.197931750")
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("1.197931750 OR 280m at 2022-04-19 18:29:56")
    assert len(lines) == 1 + 6
    assert "Coolavanny Galiv" in lines[3] and lines[3].endswith("traded    18,581.20")


# ---- splitting a recording of several markets ----------------------------------------


def replayed(path):
    import palisar
    return [book.to_dict() for book in palisar.iter_prices_file(str(path))]


def test_split_markets_of_a_merged_recording(tmp_path, data_dir):
    win, place = (data_dir / "greyhound-win-1.197931750", data_dir / "greyhound-place-1.197931751")
    lines = [line for path in (win, place) for line in path.read_bytes().splitlines(keepends=True)]
    lines.sort(key=lambda line: json.loads(line)["pt"])  # stable: a recorder of both markets
    merged = tmp_path / "both.gz"
    merged.write_bytes(gzip.compress(b"".join(lines)))
    # The merged file replays its first market alone, exactly as that market's own file.
    assert replayed(merged) == replayed(win)

    out = run("split_markets.py", merged, tmp_path / "out", "--format", "gz").stdout
    assert sorted(out.split()) == sorted(["1.197931750", str(tmp_path / "out/1.197931750.gz"),
                                          "1.197931751", str(tmp_path / "out/1.197931751.gz")])
    for market_id, source in [("1.197931750", win), ("1.197931751", place)]:
        assert replayed(tmp_path / f"out/{market_id}.gz") == replayed(source)
    # Nothing is overwritten.
    again = run("split_markets.py", merged, tmp_path / "out", "--format", "gz", check=False)
    assert again.returncode != 0 and "exists already" in again.stderr


def test_split_markets_of_mixed_messages(tmp_path):
    sys.path.insert(0, str(EXAMPLES))
    from split_markets import split
    a, b = {"id": "1.1", "rc": [{"id": 5, "ltp": 2.0}]}, {"id": "1.2", "rc": [{"id": 5, "ltp": 3.0}]}
    source = write_prices(tmp_path, [
        {"op": "mcm", "pt": 1, "mc": [a, {"rc": [{"id": 6, "ltp": 4.0}]}, b]},
        {"op": "mcm", "pt": 2, "mc": []},
        {"op": "mcm", "pt": 3, "mc": [b]},
    ], name="both")
    paths = split(source, str(tmp_path / "out"), "plain")
    assert [json_lines(open(paths[m]).read()) for m in ("1.1", "1.2")] == [
        [{"op": "mcm", "pt": 1, "mc": [a, {"rc": [{"id": 6, "ltp": 4.0}]}]},
         {"op": "mcm", "pt": 2, "mc": []}],
        [{"op": "mcm", "pt": 1, "mc": [b]}, {"op": "mcm", "pt": 2, "mc": []},
         {"op": "mcm", "pt": 3, "mc": [b]}],
    ]


# ---- converting a library ------------------------------------------------------------


@pytest.mark.parametrize("to", ["gz", "zst"])
@pytest.mark.skipif(not bzip2_built(), reason="this palisar was built without libbz2")
def test_recompress_a_tree(tmp_path, to):
    if to == "zst" and shutil.which("zstd") is None:
        pytest.skip("the zstd tool is not installed")
    text = "".join(json.dumps(m) + "\n" for m in hand_made()).encode()
    tree = tmp_path / "library"
    (tree / "2024" / "01").mkdir(parents=True)
    sources = {
        tree / "a.json": text,
        tree / "2024" / "b.json.bz2": bz2.compress(text),
        tree / "2024" / "01" / "c.json.gz": gzip.compress(text),
        tree / "2024" / "01" / "broken.bz2": b"BZh9 not bzip2",
        tree / "2024" / "01" / "kept.json": text,
        # The twin of kept.json exists already: it must stay as it is.
        tree / "2024" / "01" / f"kept.json.{to}": b"not to be overwritten",
    }
    for path, data in sources.items():
        path.write_bytes(data)
    proc = run("recompress.py", tree, "--to", to, "--workers", 2, check=False)
    assert proc.returncode == 1
    total = 4 if to == "gz" else 5  # c.json.gz and kept.json.gz are not sources for gz
    assert proc.stderr.splitlines()[-1].startswith(f"[{'#' * 30}] {total}/{total} files")
    assert proc.stdout.splitlines() == [
        f"{tree / '2024' / '01' / 'broken.bz2'}: not converted: corrupt bzip2 data",
        f"{tree / '2024' / '01' / 'kept.json'}: not converted: kept.json.{to} exists already",
        f"{total - 2} of {total} files converted to {to}",
    ]
    for path, data in sources.items():
        assert path.read_bytes() == data
    books = [b.to_dict() for b in palisar.iter_prices_file(str(tree / "a.json"))]
    for twin in (tree / f"a.json.{to}", tree / "2024" / f"b.json.{to}", tree / "2024" / "01" / f"c.json.{to}"):
        assert [b.to_dict() for b in palisar.iter_prices_file(str(twin))] == books
    assert sorted(p.name for p in tree.rglob("*") if p.name.startswith(".")) == []
