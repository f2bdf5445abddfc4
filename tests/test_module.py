"""The module object, its registration order, the conventions every class
follows, and the calling conventions of iter_prices_file."""

import gc
import importlib
import inspect
import pathlib
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import palisar

EXPORTS = [
    "iter_prices_file",
    "PricesIterator",
    "MarketBook",
    "Runner",
    "ExchangePrices",
    "StartingPrices",
    "PriceSize",
    "MarketDefinition",
    "MarketDefinitionRunner",
]

CLASS_DOCS = {
    "PricesIterator": "Iterator that yields MarketBook objects with object reuse",
    "MarketBook": "A market book snapshot",
    "Runner": "A runner in the market",
    "ExchangePrices": "Exchange prices for a runner (back/lay/traded)",
    "StartingPrices": "Starting prices for a runner",
    "PriceSize": "A price/size pair in the order book",
    "MarketDefinition": "Market definition - metadata about the market",
    "MarketDefinitionRunner": "A runner in a market definition",
}
CLASSES = list(CLASS_DOCS)

# Special methods each class has beyond the ones every heap type carries.
SPECIAL_METHODS = {
    "PricesIterator": {"__iter__", "__next__", "__len__"},
    "PriceSize": {"__repr__", "__getitem__"},
}
METHODS = {"MarketBook": {"to_dict"}}
DOCUMENTED_PROPERTIES = {
    ("MarketBook", "publish_time_epoch"): "publish_time in epoch milliseconds (int, for strovane compatibility)",
    ("MarketBook", "streaming_unique_id"): "Streaming unique ID (set by stream for strovane compatibility)",
}
WRITABLE = {("MarketBook", "streaming_unique_id")}

ONE_MARKET = (
    '{"op":"mcm","pt":1700000000123,"mc":[{"id":"1.23","img":true,'
    '"marketDefinition":{"status":"OPEN","marketTime":"2024-05-01T13:30:00.000Z",'
    '"runners":[{"id":5,"status":"ACTIVE","sortPriority":1}]},'
    '"rc":[{"id":5,"atb":[[2.0,10]],"atl":[[2.2,3]],"trd":[[2.1,5]],'
    '"spn":3.0,"spb":[[1.5,2]],"spl":[[4,1]]}]}]}\n'
)


@pytest.fixture(scope="module")
def instances(tmp_path_factory):
    """One live instance of each of the eight classes."""
    path = tmp_path_factory.mktemp("one-market") / "market"
    path.write_text(ONE_MARKET)
    it = palisar.iter_prices_file(str(path))
    book = next(it)
    runner = book.runners[0]
    found = {
        "PricesIterator": it,
        "MarketBook": book,
        "Runner": runner,
        "ExchangePrices": runner.ex,
        "StartingPrices": runner.sp,
        "PriceSize": runner.ex.available_to_back[0],
        "MarketDefinition": book.market_definition,
        "MarketDefinitionRunner": book.market_definition.runners[0],
    }
    for name, obj in found.items():
        assert type(obj) is getattr(palisar, name)
    return found


def properties_of(cls):
    return {name: d for name, d in vars(cls).items() if isinstance(d, types.GetSetDescriptorType)}


# ---- the module ---------------------------------------------------------------


def test_module_exports_in_registration_order():
    assert palisar.__all__ == EXPORTS
    assert type(palisar.__all__) is list
    # Attributes were set in the same order.
    assert [name for name in vars(palisar) if name in EXPORTS] == EXPORTS


def test_module_identity():
    assert palisar.__name__ == "palisar"
    assert palisar.__doc__ == ""


def test_reimport_returns_the_same_module_and_classes():
    before = {name: getattr(palisar, name) for name in EXPORTS}
    del sys.modules["palisar"]
    try:
        again = importlib.import_module("palisar")
    finally:
        sys.modules["palisar"] = palisar
    assert again is palisar
    for name in EXPORTS:
        assert getattr(again, name) is before[name], name
    assert again.__all__ == EXPORTS


SUBINTERPRETER_SCRIPT = textwrap.dedent(
    """
    import sys
    import palisar
    try:
        import _interpreters as interpreters
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            sys.exit(77)
    kind = sys.argv[2]
    try:
        if interpreters.__name__ == "_interpreters":
            iid = interpreters.create(kind)
        else:
            iid = interpreters.create(isolated=(kind == "isolated"))
    except Exception:
        sys.exit(77)
    code = '''
    try:
        import palisar
    except BaseException as e:
        result = type(e).__name__ + ": " + str(e)
    else:
        result = "imported"
    with open(%r, "w") as f:
        f.write(result)
    ''' % sys.argv[1]
    interpreters.run_string(iid, code)
    interpreters.destroy(iid)
    # The main interpreter's module keeps working.
    assert len(palisar.iter_prices_file(sys.argv[3])) == 1
    """
)


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_import_in_subinterpreter_fails(tmp_path, kind):
    result = tmp_path / "result"
    prices = tmp_path / "prices"
    prices.write_text('{"pt":1,"mc":[]}\n')
    proc = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_SCRIPT, str(result), kind, str(prices)],
        capture_output=True, text=True, timeout=60,
    )
    if proc.returncode == 77:
        pytest.skip("no private sub-interpreter API in this Python")
    assert proc.returncode == 0, proc.stderr
    text = result.read_text()
    assert text.startswith("ImportError: "), text
    if kind == "legacy":
        # A legacy sub-interpreter lets the module's own check decide.
        assert "sub-interpreter" in text


# ---- classes ----------------------------------------------------------------------


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(palisar, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == CLASS_DOCS[name]
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("call", [
    pytest.param(lambda cls: cls(), id="no-args"),
    pytest.param(lambda cls: cls(1, "x", key=None), id="args"),
    pytest.param(lambda cls: cls.__new__(cls), id="__new__"),
])
@pytest.mark.parametrize("name", CLASSES)
def test_no_constructor(name, call):
    cls = getattr(palisar, name)
    with pytest.raises(TypeError) as exc:
        call(cls)
    assert str(exc.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("name", CLASSES)
def test_not_subclassable(name):
    cls = getattr(palisar, name)
    with pytest.raises(TypeError) as exc:
        type("Sub", (cls,), {})
    assert str(exc.value) == f"type 'builtins.{name}' is not an acceptable base type"


@pytest.mark.parametrize("name", CLASSES)
def test_instances_have_no_dict_weakref_or_gc(instances, name):
    obj = instances[name]
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "extra")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert gc.is_tracked(obj) is False


@pytest.mark.parametrize("name", CLASSES)
def test_members_are_properties_and_listed_methods_only(name):
    cls = getattr(palisar, name)
    members = set(vars(cls))
    dunders = {m for m in members if m.startswith("__")}
    assert dunders == {"__doc__", "__module__", "__new__"} | SPECIAL_METHODS.get(name, set())
    others = members - dunders - set(properties_of(cls))
    assert others == METHODS.get(name, set())


@pytest.mark.parametrize("name", CLASSES)
def test_attribute_reads_agree_with_the_generic_lookup(instances, name):
    obj = instances[name]
    cls = type(obj)
    for prop in properties_of(cls):
        direct = getattr(obj, prop)
        generic = object.__getattribute__(obj, prop)
        # a name built at run time is an equal but distinct string
        built = getattr(obj, "".join(list(prop)))
        assert shown(direct) == shown(generic) == shown(built), prop
        if object.__getattribute__(obj, prop) is generic:  # a held object
            assert direct is generic is built, prop
    with pytest.raises(AttributeError) as exc:
        obj.no_such_attribute
    with pytest.raises(AttributeError) as generic_exc:
        object.__getattribute__(obj, "no_such_attribute")
    assert str(exc.value) == str(generic_exc.value)


@pytest.mark.parametrize("name", ["Runner", "PriceSize", "MarketBook"])
def test_a_property_replaced_on_the_class_is_honoured(instances, name):
    obj = instances[name]
    cls = type(obj)
    prop = next(iter(properties_of(cls)))
    original = vars(cls)[prop]
    before = repr(getattr(obj, prop))
    try:
        setattr(cls, prop, property(lambda self: "replaced"))
        assert getattr(obj, prop) == "replaced"
    finally:
        setattr(cls, prop, original)
    assert repr(getattr(obj, prop)) == before


@pytest.mark.parametrize("name", CLASSES)
def test_property_docstrings(name):
    cls = getattr(palisar, name)
    docs = {prop: d.__doc__ for prop, d in properties_of(cls).items()}
    expected = {prop: DOCUMENTED_PROPERTIES.get((name, prop), "") for prop in docs}
    assert docs == expected


def shown(value):
    """What a property read shows: its repr, or for an instance of one of the
    classes other than PriceSize (whose repr is only its address, and `sp`
    gives a new one on every read) the reprs of its own properties."""
    cls = type(value)
    if cls.__module__ == "builtins" and cls.__name__ in CLASSES and cls.__name__ != "PriceSize":
        return {p: repr(getattr(value, p)) for p in properties_of(cls)}
    return repr(value)


@pytest.mark.parametrize("name", CLASSES)
def test_properties_are_read_only(instances, name):
    obj = instances[name]
    for prop in properties_of(type(obj)):
        if (name, prop) in WRITABLE:
            continue
        before = shown(getattr(obj, prop))
        with pytest.raises(AttributeError):
            setattr(obj, prop, getattr(obj, prop))
        with pytest.raises(AttributeError):
            delattr(obj, prop)
        assert shown(getattr(obj, prop)) == before, prop


@pytest.mark.parametrize("name", CLASSES)
def test_equality_and_hash_by_identity(instances, name):
    obj = instances[name]
    cls = type(obj)
    assert cls.__eq__ is object.__eq__
    assert cls.__hash__ is object.__hash__
    assert obj == obj
    assert hash(obj) == object.__hash__(obj)


def test_equal_price_sizes_compare_unequal(instances):
    sp = instances["StartingPrices"]
    first, second = sp.lay_liability_taken[0], sp.lay_liability_taken[0]
    assert first is not second
    assert (first.price, first.size) == (second.price, second.size)
    assert first != second
    assert not first == second


# ---- iter_prices_file: the function object and its arguments ----------------------


def test_function_object():
    f = palisar.iter_prices_file
    assert type(f) is types.BuiltinFunctionType
    assert f.__name__ == "iter_prices_file"
    assert f.__qualname__ == "iter_prices_file"
    assert f.__text_signature__ == "(path)"
    assert f.__doc__ is None
    assert f.__self__ is palisar
    assert f.__module__ == "palisar"
    (param,) = inspect.signature(f).parameters.values()
    assert param.name == "path"
    assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


@pytest.fixture
def existing(tmp_path):
    path = tmp_path / "prices"
    path.write_text('{"pt":1,"mc":[]}\n')
    return str(path)


class StrPath(str):
    pass


@pytest.mark.parametrize("call", [
    pytest.param(lambda f, p: f(p), id="positional"),
    pytest.param(lambda f, p: f(path=p), id="keyword"),
    pytest.param(lambda f, p: f(StrPath(p)), id="str-subclass"),
    pytest.param(lambda f, p: f(*[p], **{}), id="unpacked"),
])
def test_accepted_argument_forms(existing, call):
    assert len(call(palisar.iter_prices_file, existing)) == 1


@pytest.mark.parametrize("call, message", [
    (lambda f, p: f(),
     "iter_prices_file() missing 1 required positional argument: 'path'"),
    (lambda f, p: f(p, p),
     "iter_prices_file() takes 1 positional arguments but 2 were given"),
    (lambda f, p: f(p, p, p),
     "iter_prices_file() takes 1 positional arguments but 3 were given"),
    (lambda f, p: f(file=p),
     "iter_prices_file() got an unexpected keyword argument 'file'"),
    (lambda f, p: f(p, mode="r"),
     "iter_prices_file() got an unexpected keyword argument 'mode'"),
    (lambda f, p: f(p, path=p),
     "iter_prices_file() got multiple values for argument 'path'"),
    (lambda f, p: f(pathlib.Path(p)),
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda f, p: f(path=pathlib.Path(p)),
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda f, p: f(p.encode()),
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda f, p: f(None),
     "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda f, p: f(3),
     "argument 'path': 'int' object cannot be converted to 'PyString'"),
], ids=[
    "missing", "two-positional", "three-positional", "unknown-keyword",
    "extra-keyword", "twice", "path-object", "path-object-keyword", "bytes", "none", "int",
])
def test_argument_errors(existing, call, message):
    # The file exists and is valid: the argument is refused before it is opened.
    with pytest.raises(TypeError) as exc:
        call(palisar.iter_prices_file, existing)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message
    assert exc.value.__cause__ is None
