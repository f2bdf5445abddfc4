"""Running a piece of Python in a child interpreter and collecting what it measured.

The child gets the path of a result file as sys.argv[1] and its own arguments
after it; it must print nothing. `run_child` returns the JSON object the child
wrote, together with its exit code and everything it printed, so that tests
can assert that a case neither crashed nor printed.
"""

import json
import os
import subprocess
import sys
import tempfile

# Sanitizer builds (scripts/asan) preload the runtime into every interpreter;
# memory and time figures are then several times larger.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

PRELUDE = f"""
import gc, json, os, sys, time
import palisar
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from memory_helpers import peak_rss, rss

def done(**result):
    with open(sys.argv[1], "w") as f:
        json.dump(result, f)
"""


class ChildResult:
    def __init__(self, result, returncode, stdout, stderr):
        self.result = result
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    def __getitem__(self, key):
        return self.result[key]

    def assert_quiet_success(self):
        assert self.returncode == 0, (self.returncode, self.stderr[-3000:])
        assert self.stdout == "", self.stdout[-3000:]
        assert self.stderr == "", self.stderr[-3000:]
        assert self.result is not None


def run_child(code, *args, timeout=120):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "result.json")
        proc = subprocess.run([sys.executable, "-c", PRELUDE + code, out, *map(str, args)],
                              capture_output=True, text=True, timeout=timeout)
        result = None
        if os.path.exists(out):
            with open(out) as f:
                result = json.load(f)
        return ChildResult(result, proc.returncode, proc.stdout, proc.stderr)


def write_json_lines(path, messages):
    with open(path, "w") as f:
        for m in messages:
            f.write(json.dumps(m, separators=(",", ":")) + "\n")
    return str(path)
