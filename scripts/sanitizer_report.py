"""Reads the sanitizer logs of an instrumented test run and fails on what
concerns palisar.

    python scripts/sanitizer_report.py LOG_DIR

Every process of the run (pytest and the subprocesses that tests start) writes
its own log file into LOG_DIR. Any AddressSanitizer or UndefinedBehaviorSanitizer
error fails the run. Leak reports are kept only when the allocation's stack
passes through palisar's own code: the interpreter does not free everything it
allocated when it exits (interned strings, for one), and those reports are
counted but not shown.

Suppression files cannot draw this line: a suppression matches when its pattern
matches any frame of the stack, and every allocation that palisar makes is
called from the interpreter, so suppressing the interpreter's library would
hide palisar's leaks too.
"""

import re
import sys
from pathlib import Path

OURS = re.compile(r"/src/(json|market|parse|python)/|palisar\.cpython")
ERROR = re.compile(r"ERROR: (AddressSanitizer|LeakSanitizer: detected)|runtime error:")


def blocks(text):
    """Leak blocks ("Direct leak of ..." / "Indirect leak of ..." up to the next blank line)."""
    for block in re.split(r"\n\s*\n", text):
        block = block.strip()
        if block.startswith(("Direct leak", "Indirect leak")):
            yield block


def main():
    log_dir = Path(sys.argv[1])
    ours, theirs, errors = [], 0, []
    for log in sorted(log_dir.glob("*")):
        text = log.read_text(errors="replace")
        if "runtime error:" in text or "ERROR: AddressSanitizer" in text:
            errors.append((log, text))
        for block in blocks(text):
            if OURS.search(block):
                ours.append((log, block))
            else:
                theirs += 1
    for log, text in errors:
        print(f"---- sanitizer error in {log.name}\n{text}")
    for log, block in ours:
        print(f"---- leak through palisar's code in {log.name}\n{block}\n")
    print(f"sanitizer logs: {len(list(log_dir.glob('*')))} files, {len(errors)} with errors, "
          f"{len(ours)} leak reports through palisar's code, {theirs} from the interpreter alone")
    return 1 if errors or ours else 0


if __name__ == "__main__":
    sys.exit(main())
