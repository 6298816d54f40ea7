"""The module's surface and how calls bind their arguments: names, signatures, binding
messages, generate_key's refusal of arguments, and PanicException as a caller meets it."""

import errno
import inspect
import os
import time

import pytest
import varnhold_core
from varnhold_core import blakley_combine, blakley_split, generate_key, shamir_combine, shamir_split

S = bytes(range(32))
NAMES = ["generate_key", "shamir_split", "shamir_combine", "blakley_split", "blakley_combine"]


def test_module_lists_the_five_functions_in_order_with_an_empty_doc():
    assert type(varnhold_core.__all__) is list
    assert varnhold_core.__all__ == NAMES
    assert varnhold_core.__doc__ == ""
    assert not hasattr(varnhold_core, "PanicException")


@pytest.mark.parametrize(
    "name, signature",
    [
        ("generate_key", "()"),
        ("shamir_split", "(secret, k, n)"),
        ("shamir_combine", "(shares, k)"),
        ("blakley_split", "(secret, k, n)"),
        ("blakley_combine", "(shares, k)"),
    ],
)
def test_function_surface(name, signature):
    function = getattr(varnhold_core, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == "varnhold_core"
    parameters = inspect.signature(function).parameters.values()
    assert str(inspect.signature(function)) == signature
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters)


class Key(str):
    pass


# Each row: function, positional arguments, keywords (in call order), expected TypeError text.
# Arguments that would fail conversion (123, "bad") show that binding is checked first.
BINDING_FAILURES = [
    (shamir_split, (S, 2), {}, "shamir_split() missing 1 required positional argument: 'n'"),
    (shamir_split, (S,), {}, "shamir_split() missing 2 required positional arguments: 'k' and 'n'"),
    (
        shamir_split,
        (),
        {},
        "shamir_split() missing 3 required positional arguments: 'secret', 'k', and 'n'",
    ),
    (
        blakley_split,
        (),
        {},
        "blakley_split() missing 3 required positional arguments: 'secret', 'k', and 'n'",
    ),
    (shamir_split, (S,), {"n": 3}, "shamir_split() missing 1 required positional argument: 'k'"),
    (
        blakley_split,
        (),
        {"k": 2},
        "blakley_split() missing 2 required positional arguments: 'secret' and 'n'",
    ),
    (
        shamir_split,
        (),
        {"n": 3, "k": 2},
        "shamir_split() missing 1 required positional argument: 'secret'",
    ),
    (
        shamir_combine,
        (),
        {"k": 2},
        "shamir_combine() missing 1 required positional argument: 'shares'",
    ),
    (
        blakley_combine,
        (),
        {},
        "blakley_combine() missing 2 required positional arguments: 'shares' and 'k'",
    ),
    (blakley_combine, ([],), {}, "blakley_combine() missing 1 required positional argument: 'k'"),
    (
        blakley_split,
        (S, 2, 3, 4),
        {},
        "blakley_split() takes 3 positional arguments but 4 were given",
    ),
    (
        blakley_split,
        (S, 2, 3, 4),
        {"k": 2, "z": 1},
        "blakley_split() takes 3 positional arguments but 4 were given",
    ),
    (
        shamir_split,
        (123, 2, 3, 4, 5),
        {"secret": S},
        "shamir_split() takes 3 positional arguments but 5 were given",
    ),
    (
        shamir_combine,
        ([], 2, 3),
        {},
        "shamir_combine() takes 2 positional arguments but 3 were given",
    ),
    (shamir_split, (S, 2, 3), {"k": 2}, "shamir_split() got multiple values for argument 'k'"),
    (
        blakley_combine,
        ([], 2),
        {"shares": []},
        "blakley_combine() got multiple values for argument 'shares'",
    ),
    (shamir_split, (S,), {"secret": S}, "shamir_split() got multiple values for argument 'secret'"),
    (
        shamir_combine,
        (),
        {"shares": [], "k": 2, "x": 1},
        "shamir_combine() got an unexpected keyword argument 'x'",
    ),
    (
        shamir_split,
        (S,),
        {"k": 2, "z": 1, "secret": S},
        "shamir_split() got an unexpected keyword argument 'z'",
    ),
    (
        shamir_split,
        (S,),
        {"secret": S, "z": 1},
        "shamir_split() got multiple values for argument 'secret'",
    ),
    (shamir_split, (123, 2, 3), {"z": 1}, "shamir_split() got an unexpected keyword argument 'z'"),
    (shamir_split, ("bad",), {"z": 1}, "shamir_split() got an unexpected keyword argument 'z'"),
    (blakley_split, (S, 2), {"K": 3}, "blakley_split() got an unexpected keyword argument 'K'"),
    (blakley_split, (S, 2), {"n ": 3}, "blakley_split() got an unexpected keyword argument 'n '"),
    (shamir_combine, ([],), {"kk": 2}, "shamir_combine() got an unexpected keyword argument 'kk'"),
    (
        shamir_combine,
        ([],),
        {"\ud800": 2},
        "shamir_combine() got an unexpected keyword argument '\ud800'",
    ),
    (
        shamir_split,
        (S, 2),
        {Key("n"): 3, Key("x"): 1},
        "shamir_split() got an unexpected keyword argument 'x'",
    ),
]


@pytest.mark.parametrize("function, args, kwargs, message", BINDING_FAILURES)
def test_binding_failure_message(function, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("key, shown", [(1, "1"), (None, "None"), ((1, 2), "(1, 2)")])
def test_non_str_keyword_is_unexpected_with_its_str(key, shown):
    with pytest.raises(TypeError) as caught:
        shamir_combine([], **{"k": 2, key: 0})
    if str(caught.value) == "keywords must be strings":
        pytest.skip("this interpreter refuses non-str keywords itself")
    assert str(caught.value) == f"shamir_combine() got an unexpected keyword argument '{shown}'"


def outcome(function, *args, **kwargs):
    try:
        return ("returned", function(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the outcome is compared, whatever it is
        return (type(e), str(e))


def split_forms(function, secret, k, n):
    yield outcome(function, secret, k, n)
    yield outcome(function, secret, k, n=n)
    yield outcome(function, secret, n=n, k=k)
    yield outcome(function, n=n, k=k, secret=secret)
    yield outcome(function, **{"k": k, "secret": secret, "n": n})


@pytest.mark.parametrize("function", [shamir_split, blakley_split])
@pytest.mark.parametrize(
    "secret, k, n",
    # k and n swapped would be accepted in the first two rows, and give another message in the
    # third; a short secret must stay the secret.
    [(S, 3, 2), (S, 2**20 + 1, 2**20), (S, 2, 2**20 + 1), (S[:31], 2, 3), (S, "k", 3)],
)
def test_split_keywords_bind_like_positions_on_failure(function, secret, k, n):
    outcomes = list(split_forms(function, secret, k, n))
    assert outcomes[0][0] in (ValueError, TypeError)
    assert outcomes == [outcomes[0]] * len(outcomes)


@pytest.mark.parametrize(
    "split, combine", [(shamir_split, shamir_combine), (blakley_split, blakley_combine)]
)
def test_keywords_bind_like_positions_on_success(split, combine):
    for kind, shares in split_forms(split, S, 3, 5):
        assert kind == "returned" and len(shares) == 5
        chosen = shares[1:4]
        results = {combine(chosen, 3), combine(chosen, k=3), combine(k=3, shares=chosen)}
        assert results == {S}
    # Too few shares for k = 5: the same refusal however the two arguments are passed.
    refused = outcome(combine, chosen, 5)
    assert refused[0] is ValueError
    assert outcome(combine, chosen, k=5) == outcome(combine, k=5, shares=chosen) == refused


def interpreter_noargs_text(call):
    """The interpreter's own refusal text for an equivalent built-in function without
    parameters, renamed to generate_key."""
    with pytest.raises(TypeError) as caught:
        call(time.time)
    text = str(caught.value)
    if "time.time(" in text:
        return text.replace("time.time(", "varnhold_core.generate_key(")
    return text.replace("time(", "generate_key(")


@pytest.mark.parametrize(
    "call",
    [lambda f: f(1), lambda f: f(x=1), lambda f: f(None), lambda f: f(*[], **{"k": 2})],
    ids=["positional", "keyword", "none", "empty-star-keyword"],
)
def test_generate_key_refuses_any_argument(call):
    with pytest.raises(TypeError) as caught:
        call(generate_key)
    assert type(caught.value) is TypeError
    assert str(caught.value) == interpreter_noargs_text(call)


def test_generate_key_returns_fresh_32_bytes():
    keys = [generate_key() for _ in range(8)]
    assert all(type(key) is bytes and len(key) == 32 for key in keys)
    assert len(set(keys)) == len(keys)


# The child's getrandom fails with EIO, so generate_key raises the class we want to examine.
GET_PANIC_CLASS = """
    import io
    import varnhold_core
    try:
        varnhold_core.generate_key()
    except BaseException as e:
        Panic, first = type(e), e
    else:
        raise SystemExit("generate_key returned despite the filter")
"""

DOC_PARAGRAPH = (
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit."
)


def test_panic_exception_class(run_filtered_child):
    result = run_filtered_child(
        errno.EIO,
        GET_PANIC_CLASS
        + """
    def handler_that_catches():
        try:
            try:
                varnhold_core.generate_key()
            except Exception:
                return "Exception"
        except BaseException as e:
            return "BaseException" if type(e) is Panic else type(e).__name__
        return "nothing"

    print(json.dumps({
        "name": Panic.__name__,
        "bases_are_base_exception": Panic.__bases__ == (BaseException,),
        "is_exception": issubclass(Panic, Exception),
        "module": Panic.__module__,
        "doc": Panic.__doc__,
        "args": list(first.args),
        "str": str(first),
        "handler": handler_that_catches(),
        "attribute": hasattr(varnhold_core, "PanicException"),
        "names": list(varnhold_core.__all__),
    }))
    """,
    )
    assert result["name"] == "PanicException"
    assert result["bases_are_base_exception"] and not result["is_exception"]
    assert result["handler"] == "BaseException"
    assert result["module"] != "varnhold_core" and not result["attribute"]
    assert "PanicException" not in result["names"]
    message = "Error: " + os.strerror(errno.EIO)
    assert result["args"] == [message] and result["str"] == message
    doc, tail = result["doc"], "\n\n" + DOC_PARAGRAPH + "\n"
    assert doc.startswith("\n") and doc.endswith(tail)
    sentence = doc[1 : -len(tail)]
    assert sentence.strip() and "\n" not in sentence


@pytest.mark.parametrize("hook", ["__iter__", "__next__", "__len__", "__index__"])
def test_panic_from_caller_code_is_reported_and_raised_anew(run_filtered_child, hook):
    result = run_filtered_child(
        errno.EIO,
        GET_PANIC_CLASS
        + """
    raised = Panic("boom")

    class Hooked:
        def __init__(self, hook):
            self.hook = hook
        def fire(self, name):
            if self.hook == name:
                raise raised
        def __len__(self):
            self.fire("__len__")
            return 0
        def __getitem__(self, i):
            raise IndexError(i)
        def __iter__(self):
            self.fire("__iter__")
            return self
        def __next__(self):
            self.fire("__next__")
            raise StopIteration
        def __index__(self):
            self.fire("__index__")
            return 2

    hook = %r
    shares, k = ([], Hooked(hook)) if hook == "__index__" else (Hooked(hook), 2)
    saved, sys.stderr = sys.stderr, io.StringIO()
    try:
        varnhold_core.shamir_combine(shares, k)
        got = None
    except BaseException as e:
        got = e
    finally:
        written, sys.stderr = sys.stderr.getvalue(), saved
    print(json.dumps({
        "is_panic": type(got) is Panic,
        "same_object": got is raised,
        "args": list(got.args) if got is not None else None,
        "stderr": written,
    }))
    """
        % hook,
    )
    assert result["is_panic"], result
    assert not result["same_object"]
    assert result["args"] == ["boom"]
    written = result["stderr"]
    traceback_at = written.find("Traceback (most recent call last)")
    # A notice line, then the traceback of the original exception.
    assert traceback_at > 0 and written[:traceback_at].strip(), written
    assert "PanicException: boom" in written[traceback_at:]
