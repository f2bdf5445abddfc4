"""The typing stubs (palisar-stubs) against what the module really returns.

stubtest (run by scripts/test) checks names and signatures; it cannot see
return types. Here the stub is executed as Python and every property, method
result and to_dict() layout it declares is checked against the values of real
replays: the recorded markets and a made-up market that sets every optional
field (and leaves it unset at first)."""

import __future__

import functools
import sys
import sysconfig
import types
import typing
from pathlib import Path

import pytest

import palisar

from snapshot_helpers import change, full_definition, message, write_prices

STUB = Path(__file__).resolve().parent.parent / "palisar-stubs" / "__init__.pyi"


def load_stub():
    """The stub's namespace, run as a module of its own: registered in
    sys.modules, where typing.get_type_hints finds the names that the
    annotations of its classes use."""
    module = types.ModuleType("palisar_stub")
    code = compile(STUB.read_text(), str(STUB), "exec", flags=__future__.annotations.compiler_flag)
    sys.modules[module.__name__] = module
    exec(code, module.__dict__)
    return module.__dict__


STUB_NS = load_stub()


def problem(value, tp, where="value"):
    """None when `value` is a value of the annotation `tp`, else a description
    of the first part that is not, as (where, value, type) (float means a
    float, not an int; int excludes bool)."""
    bad = (where, value, tp)
    if tp is typing.Any:
        return None
    if tp is None or tp is type(None):
        return None if value is None else bad
    origin = typing.get_origin(tp)
    if origin in (types.UnionType, typing.Union):
        return None if any(problem(value, arm) is None for arm in typing.get_args(tp)) else bad
    if origin is list:
        if type(value) is not list:
            return bad
        (item,) = typing.get_args(tp)
        return next(filter(None, (problem(v, item, f"{where}[{i}]") for i, v in enumerate(value))), None)
    if typing.is_typeddict(tp):
        if type(value) is not dict:
            return bad
        hints = typing.get_type_hints(tp, globalns=STUB_NS, include_extras=True)
        required = {k for k, h in hints.items() if typing.get_origin(h) is not typing.NotRequired}
        hints = {k: typing.get_args(h)[0] if k not in required else h for k, h in hints.items()}
        if not required <= value.keys() <= hints.keys():
            return (f"{where}.keys()", list(value), f"the keys of {tp.__name__}")
        return next(filter(None, (problem(v, hints[k], f"{where}[{k!r}]") for k, v in value.items())), None)
    if tp in (int, float):
        return None if type(value) is tp else bad
    if getattr(tp, "__module__", None) == STUB_NS["__name__"]:  # a class of the stub
        return None if type(value) is getattr(palisar, tp.__name__) else bad
    return None if isinstance(value, tp) else bad


def describe(error):
    where, value, tp = error
    return f"{where} = {value!r:.80} is not {tp}"


def conforms(value, tp):
    return problem(value, tp) is None


@functools.cache
def declared_properties(class_name):
    """{property name: declared type} of a stub class."""
    cls = STUB_NS[class_name]
    out = {}
    for name, member in vars(cls).items():
        if isinstance(member, property):
            out[name] = typing.get_type_hints(member.fget, globalns=STUB_NS)["return"]
    return out


@functools.cache
def return_type(class_name, method):
    return typing.get_type_hints(getattr(STUB_NS[class_name], method), globalns=STUB_NS)["return"]


class Checker:
    """Checks each distinct object once (object reuse makes most reads the
    same object again) and counts, per attribute, which types were seen."""

    def __init__(self):
        self.seen = {}  # id -> object, kept alive so that ids stay unique
        self.mismatches = []
        self.kinds = {}

    def check(self, obj, class_name):
        if id(obj) in self.seen:
            return
        self.seen[id(obj)] = obj
        assert type(obj).__name__ == class_name
        for name, tp in declared_properties(class_name).items():
            value = getattr(obj, name)
            self.kinds.setdefault((class_name, name), set()).add(type(value).__name__)
            if type(value) is list:  # held lists are shared by many snapshots
                if id(value) in self.seen:
                    continue
                self.seen[id(value)] = value
            if error := problem(value, tp, f"{class_name}.{name}"):
                self.mismatches.append(describe(error))
                continue
            for item in value if type(value) is list else [value]:
                if type(item).__module__ == "builtins" and type(item).__name__ in STUB_NS:
                    self.check(item, type(item).__name__)

    def book(self, book, with_dict):
        self.check(book, "MarketBook")
        if with_dict:
            if error := problem(book.to_dict(), return_type("MarketBook", "to_dict"), "to_dict()"):
                self.mismatches.append(f"{describe(error)} (book at {book.publish_time_epoch})")
        for runner in book.runners:
            for ps in runner.ex.available_to_back[:1]:
                assert conforms(ps["price"], return_type("PriceSize", "__getitem__"))


def replay_and_check(path, every, dict_every):
    """Checks every `every`-th snapshot, and the to_dict() of every
    `dict_every`-th one, and the last one in full."""
    checker = Checker()
    it = palisar.iter_prices_file(path)
    declared = typing.get_type_hints(STUB_NS["iter_prices_file"], globalns=STUB_NS)["return"]
    assert conforms(it, declared) and conforms(iter(it), return_type("PricesIterator", "__iter__"))
    assert conforms(len(it), return_type("PricesIterator", "__len__"))
    book = None
    for n, book in enumerate(it):
        if n % every == 0:
            checker.book(book, n % dict_every == 0)
    if book is not None:
        checker.book(book, True)
    return checker


def made_up_market(tmp_path):
    """A market whose optional fields start unset and are then all set,
    starting prices partly as text."""
    rc = {"id": 44331354, "atb": [[2.5, 10]], "atl": [[2.6, 5]], "trd": [[2.5, 3]],
          "spn": 2.4, "spf": "NaN", "spb": [[2.5, 1]], "spl": [[2.5, 2]], "ltp": 2.5, "tv": 3}
    messages = [
        message(1, change(rc=[{"id": 7}])),
        message(2, change(marketDefinition=full_definition(), img=True)),
        message(3, change(rc=[rc], tv=3, lastMatchTime=1700000000000)),
        message(4, change(marketDefinition=full_definition(status="CLOSED", runners=[
            {"id": 44331354, "sortPriority": 1, "status": "WINNER", "bsp": "Infinity"},
            {"id": 36276560, "sortPriority": 2, "status": "REMOVED", "hc": 1.5}]))),
    ]
    return write_prices(tmp_path, messages)


def test_stub_matches_values_of_a_made_up_market(tmp_path):
    checker = replay_and_check(made_up_market(tmp_path), every=1, dict_every=1)
    assert checker.mismatches == []
    # Both arms of the optional fields were exercised.
    assert checker.kinds[("MarketBook", "market_definition")] == {"NoneType", "MarketDefinition"}
    assert checker.kinds[("MarketBook", "last_match_time")] == {"NoneType", "int"}
    assert checker.kinds[("Runner", "last_price_traded")] == {"NoneType", "float"}
    assert checker.kinds[("StartingPrices", "far_price")] == {"NoneType", "str"}
    assert checker.kinds[("MarketDefinitionRunner", "removal_date")] == {"NoneType", "str"}


def test_stub_matches_values_of_recorded_markets(recorded_market):
    checker = replay_and_check(recorded_market, every=5, dict_every=100)
    assert checker.mismatches == []
    assert len(checker.seen) > 100


def test_installed_stub_is_the_repository_one():
    installed = [Path(sysconfig.get_path(key)) / "palisar-stubs" / "__init__.pyi"
                 for key in ("purelib", "platlib")]
    found = [p for p in installed if p.is_file()]
    if not found:
        pytest.skip("palisar is not installed from this tree (no palisar-stubs next to it)")
    assert found[0].read_text() == STUB.read_text()
    assert STUB_NS["__all__"] == palisar.__all__
