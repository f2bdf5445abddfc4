"""Where the recorded prices files are: $PALISAR_DATA_DIR, or shared/data
beside the repository. They are read in place, never copied. Without them
their tests skip, except under CI (CI set), where a missing file fails: a CI
run has to prove something about recorded markets. `missing` serves the
other things a CI machine has to provide as well."""

import os
from pathlib import Path

DATA_DIR = Path(os.environ.get("PALISAR_DATA_DIR")
                or Path(__file__).resolve().parents[2] / "shared" / "data")
RECORDED_MARKETS = (
    "football-match-odds-1.200806927",
    "greyhound-place-1.197931751",
    "greyhound-win-1.197931750",
)


def missing(reason, needed="the recorded markets"):
    import pytest
    if os.environ.get("CI"):
        pytest.fail(f"{reason} (CI runs need {needed})")
    pytest.skip(reason)


def recorded_file(name):
    """Path (str) of one recorded prices file; skips (fails under CI) when absent."""
    path = DATA_DIR / name
    if not path.is_file():
        missing(f"recorded prices file {path} is not available")
    return str(path)
