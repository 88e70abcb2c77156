"""Where result files live and how the lookup by ID finds them."""

import glob
from types import SimpleNamespace

import pytest

from conftest import save
from vantorel.core import simulation_storage as ss

SID = "0123456789abcdef"


def test_path_layout_creates_type_dir_and_repeats(store):
    path = ss.get_simulation_file_path("fdtd", "mmi1x2", SID)
    assert path == store / "fdtd" / f"mmi1x2_{SID}.json"
    assert (store / "fdtd").is_dir() and not path.exists()
    assert ss.get_simulation_file_path("fdtd", "mmi1x2", SID) == path
    assert [p.name for p in store.iterdir()] == ["fdtd"]


def test_lookup_without_directory_creates_nothing(store, logs):
    assert ss._find_simulation_file(SID) is None
    assert ss.load_simulation_result(SID) is None
    assert not store.exists() and logs() == []


@pytest.mark.parametrize("sid", ["abc", "a*b", "a?b", "[ab]*", "x]y"])
def test_lookup_order_and_literal_pattern(monkeypatch, sid):
    calls = []

    def entry(name, is_dir, matches):
        return SimpleNamespace(
            is_dir=lambda: is_dir,
            glob=lambda pattern: (calls.append((name, pattern)), iter(matches))[1],
        )

    entries = [
        entry("plain", False, ["p"]),
        entry("empty", True, []),
        entry("b", True, ["b1", "b2"]),
        entry("a", True, ["a1"]),
    ]
    root = SimpleNamespace(exists=lambda: True, iterdir=lambda: iter(entries))
    monkeypatch.setattr(ss, "get_simulations_dir", lambda: root)
    assert ss._find_simulation_file(sid) == "b1"
    pattern = "*_" + glob.escape(sid) + ".json"
    assert calls == [("empty", pattern), ("b", pattern)]


def test_wildcard_ids_match_literally(store):
    record = save()
    for sid in ("*", "?" * 16, "[0-9a-f]*", "*" + record.simulation_id[1:]):
        assert ss._find_simulation_file(sid) is None
        assert ss.load_simulation_result(sid) is None
    assert ss.load_simulation_result(record.simulation_id) == record
    kind = store / "fdtd"
    for name in ("x_a*b.json", "x_aZb.json", "x_a[Z]b.json"):
        (kind / name).write_text("{}")
    assert ss._find_simulation_file("a*b") == kind / "x_a*b.json"
    assert ss._find_simulation_file("a[Z]b") == kind / "x_a[Z]b.json"
    assert ss._find_simulation_file("a?b") is None


def test_ids_with_separator_or_nul_name_no_file(store):
    (store / "fdtd" / "p_x").mkdir(parents=True)
    (store / "fdtd" / "p_x" / "a_y.json").write_text("{}")
    (store / "fdtd" / "a_b.json").write_text("{}")
    for sid in ("x/a_y", "b\0", "b\0x"):
        assert ss._find_simulation_file(sid) is None
        assert ss.load_simulation_result(sid) is None


@pytest.mark.parametrize(
    "kind, component, error",
    [
        ("", "c", ValueError),
        (".", "c", ValueError),
        ("..", "c", ValueError),
        ("a/b", "c", ValueError),
        ("a\0b", "c", ValueError),
        (None, "c", ValueError),
        ("fdtd", "a/b", ValueError),
        ("fdtd", "a\0b", ValueError),
        ("fdtd", "/c", ValueError),
        (5, "c", TypeError),
        (type("Text", (str,), {})("fdtd"), "c", TypeError),
    ],
)
def test_bad_names_raise_before_creating_anything(store, tmp_path, logs, kind, component, error):
    kind = str(tmp_path / "elsewhere") if kind is None else kind
    with pytest.raises(error):
        ss.get_simulation_file_path(kind, component, SID)
    with pytest.raises(error):
        save(simulation_type=kind, component_name=component)
    assert not store.exists() and not (tmp_path / "elsewhere").exists()
    assert logs() == []


def test_empty_component_name_is_allowed(store):
    record = save(component_name="")
    path = store / "fdtd" / f"_{record.simulation_id}.json"
    assert ss._find_simulation_file(record.simulation_id) == path
    assert ss.load_simulation_result(record.simulation_id) == record
