"""The bench kit's own checks: step_bars.py refuses a step floor whose plan
does not count the snapshots, new Runners and new lists that palisar makes."""

import json
import sys
from pathlib import Path

import pytest

import palisar

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import step_bars  # noqa: E402

MESSAGES = [
    {"pt": 1, "mc": [{"id": "1.5", "img": True,
                      "rc": [{"id": 1, "atb": [[2.0, 5.0]]}, {"id": 2, "ltp": 3.0}]}]},
    {"pt": 2, "mc": [{"id": "1.5", "rc": [{"id": 1, "atb": [[2.0, 0]]}]}]},
    {"pt": 3, "mc": [{"id": "1.5", "rc": [{"id": 2, "ltp": 4.0}]}]},
    {"pt": 4, "mc": []},
]
# Two new runners with three lists each; then runner 1 with a new back list;
# then runner 2 with its lists as they were; then nothing new.
COUNTS = {"snapshots": 4, "changed_runners": 4, "changed_lists": 7}


@pytest.mark.parametrize("wrong", [None, *COUNTS])
def test_check_plan_compares_the_plan_with_palisar(tmp_path, wrong):
    path = tmp_path / "market.json"
    path.write_text("".join(json.dumps(m) + "\n" for m in MESSAGES))
    counts = dict(COUNTS)
    if wrong is None:
        step_bars.check_plan(palisar, str(path), counts)
        return
    counts[wrong] += 1
    with pytest.raises(SystemExit, match=wrong):
        step_bars.check_plan(palisar, str(path), counts)
