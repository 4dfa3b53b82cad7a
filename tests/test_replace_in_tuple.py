import random
import sys

import pytest

from kestravel._palvine import replace_in_tuple


def runtime_string(text):
    return "".join(list(text))  # equal to text, but a distinct object


def test_replaces_in_place_and_every_holder_sees_it():
    old, new = object(), object()
    t = (1, old, 2)
    alias = t
    assert replace_in_tuple(t, old, new) is None
    assert alias is t and t == (1, new, 2)


@pytest.mark.parametrize(
    "make_pair",
    [lambda: (1, 1.0), lambda: (runtime_string("kestrel"), runtime_string("kestrel"))],
    ids=["int-float", "equal-strings"],
)
def test_identity_not_equality(make_pair):
    item, equal = make_pair()
    assert item == equal and item is not equal
    t = (equal, item, equal)
    replace_in_tuple(t, item, "new")
    assert t[0] is equal and t[1] == "new" and t[2] is equal


@pytest.mark.parametrize("occurrences", [1, 3, 7], ids=lambda n: f"{n}-occurrences")
def test_every_occurrence_moves_reference_counts_by_n(occurrences):
    item, replacement = object(), object()
    t = tuple([item] * occurrences + [None])
    item_refs, replacement_refs = sys.getrefcount(item), sys.getrefcount(replacement)
    replace_in_tuple(t, item, replacement)
    assert t == tuple([replacement] * occurrences + [None])
    assert sys.getrefcount(item) == item_refs - occurrences
    assert sys.getrefcount(replacement) == replacement_refs + occurrences


def test_replacement_identical_to_item_changes_nothing():
    item = object()
    t = (item, item)
    refs = sys.getrefcount(item)
    replace_in_tuple(t, item, item)
    assert sys.getrefcount(item) == refs
    assert t[0] is item and t[1] is item


@pytest.mark.parametrize("t", [(), (1, 2, "three")], ids=["empty", "absent"])
def test_no_occurrence_leaves_the_tuple_as_it_was(t):
    before = list(t)
    assert replace_in_tuple(t, object(), 0) is None
    assert all(a is b for a, b in zip(t, before, strict=True))


def test_nested_tuples_are_not_searched():
    inner = (None,)
    t = (inner, None)
    replace_in_tuple(t, None, 0)
    assert t == (inner, 0) and inner == (None,)


def test_tuple_subtype_is_accepted():
    class Pair(tuple):
        pass

    item = object()
    p = Pair((item, 1))
    replace_in_tuple(p, item, 2)
    assert p == (2, 1) and type(p) is Pair


@pytest.mark.parametrize("args", [([1], 1, 2), ("ab", "a", "b"), ((1,), 1)], ids=["list", "str", "two-args"])
def test_argument_errors(args):
    with pytest.raises(TypeError):
        replace_in_tuple(*args)


def test_matches_a_plain_python_model():
    rng = random.Random(1013)
    pool = [object() for _ in range(5)] + [1, 1.0, runtime_string("x"), runtime_string("x"), None]
    for _ in range(500):
        values = [rng.choice(pool) for _ in range(rng.randrange(0, 50))]
        item, replacement = rng.choice(pool), rng.choice(pool)
        t = tuple(values)
        replace_in_tuple(t, item, replacement)
        expected = [replacement if v is item else v for v in values]
        assert len(t) == len(expected) and all(a is b for a, b in zip(t, expected, strict=True))
