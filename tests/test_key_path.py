"""Keys by path (open_key), parent() and path(), and walk(): on synthetic hives (name matching,
list kinds, loops, deep chains, damaged lists); on the shared hives in test_corpus.py."""

import struct

import pytest

import hivegen
import kelpa
from conftest import error, outcome, write_hive
from hivegen import Key


def names(keys):
    return [k.name() for k in keys]


def walked(key, onerror=None):
    """Names the walk yields, and the error that ended it (None when it ran to its end)."""
    out = []
    try:
        out.extend(k.name() for k in key.walk(onerror))
    except ValueError as e:
        return out, str(e)
    return out, None


def graph(tmp_path, nodes, lists, *, root="R", patches=()):
    """Keys (root first; bytes names stored as they are), then their subkey lists {name: (kind,
    elements)}, an element being a key's name, a raw offset or a nested (kind, elements); last the
    ``patches`` (key, payload position, format, key name or value). Returns (hive, {name: hex offset})."""
    b = hivegen.HiveBuilder()
    off = {n: b.nk(n, root=n == root, subkey_count=len(lists.get(n, ("", [0]))[1])) for n in nodes}

    def write(kind, elements):
        return b.subkey_list(kind, [write(*e) if isinstance(e, tuple) else off.get(e, e) for e in elements])

    for n, at, fmt, value in [(n, hivegen.NK_SUBKEY_LIST_OFFSET, "<I", write(*e)) for n, e in lists.items()] + [*patches]:
        b.patch(off[n], at, struct.pack(fmt, off.get(value, value)))
    hive = kelpa.Hive.open(str(b.write(tmp_path / "g.hiv", root=off[root])))
    return hive, {n if isinstance(n, str) else n.decode(): hex(o) for n, o in off.items()}


def named_tree():
    tcpip = Key("Tcpip", subkeys=[Key("Parameters", subkeys=[Key("Interfaces")])])
    return Key("ROOT", subkeys=[
        Key("Services", subkeys=[Key("Dhcp"), tcpip]), Key("äpfel", list_kind="li"), Key("straße"),
        Key("ǆemal"), Key("x\U00010428"), Key("dup", subkeys=[Key("first")]), Key("DUP", subkeys=[Key("second")])])


@pytest.mark.parametrize("path, found", [
    ("services", "Services"), ("SERVICES\\TCPIP\\parameters", "Services\\Tcpip\\Parameters"),
    ("\\\\Services\\\\\\Tcpip\\", "Services\\Tcpip"), ("", ""), ("\\", ""), ("ÄPFEL", "äpfel"),
    ("ǄEMAL", "ǆemal"), ("ǅemal", "ǆemal"), ("X\U00010400", "x\U00010428"), ("Dup\\first", "dup\\first"),
    ("STRASSE", None), ("Servic", None), ("Services\\Tcpip\\nope", None), ("äpfel ", None),
], ids=repr)
def test_open_key(tmp_path, path, found):
    hive = kelpa.Hive.open(write_hive(tmp_path, hivegen.build_tree(named_tree())))
    if found is None:
        assert outcome(lambda: hive.open_key(path)) == error(f"Not found: Key '{path}'")
        return
    key = hive.open_key(path)
    assert key.path() == found and repr(hive.root_key().open_key(path)) == repr(key)
    assert key.parent() is None if found == "" else key.parent().path() == found.rpartition("\\")[0]


def test_open_key_8bit_name_and_bad_list(tmp_path):
    hive, _ = graph(tmp_path, ["R", b"\xc3\xa4rger", "bad"], {"R": ("lf", [b"\xc3\xa4rger", "bad"]), "bad": ("lx", [0x20])})
    assert hive.open_key("ÄRGER").name() == "ärger"
    assert outcome(lambda: hive.open_key("bad\\x")) == error("Invalid subkey list type: [108, 120]")


@pytest.mark.parametrize("patches, message", [
    ([("A", 16, "<I", "A")], "Invalid format: Parent chain of the key at offset {A} loops"),
    ([("A", 16, "<I", "B"), ("B", 16, "<I", "A")], "Invalid format: Parent chain of the key at offset {A} loops"),
    ([("A", 16, "<I", 0x7FFFFFF0)], "Invalid offset 0x7ffffff0 (hive size: 0x2000)"),
    ([("A", 2, "<H", hivegen.KEY_COMP_NAME | hivegen.KEY_HIVE_ENTRY)], None),
], ids=["self", "mutual", "bad-offset", "hive-entry"])
def test_parent_errors(tmp_path, patches, message):
    hive, off = graph(tmp_path, ["R", "A", "B"], {"R": ("li", ["A"])}, patches=patches)
    key = hive.root_key().subkeys()[0]
    if message is None:
        assert key.parent() is None and key.path() == ""
    else:
        assert outcome(lambda: key.path()) == error(message.format(**off))


CYCLE = "Invalid format: Key at offset {} lists a key on its own path: offset {}"


@pytest.mark.parametrize("lists, plain, tolerant, message", [
    ({"R": ("ri", [("ri", [("li", ["A", "B"])]), ("lh", ["C"])]), "A": ("lf", ["D"])}, "RADBC", "RADBC", None),
    ({"R": ("li", ["A"]), "A": ("lh", ["A", "B"])}, "RA", "RAB", CYCLE.format("{A}", "{A}")),
    ({"R": ("li", ["A"]), "A": ("li", ["B"]), "B": ("lf", ["A", "C"])}, "RAB", "RABC", CYCLE.format("{B}", "{A}")),
    ({"R": ("lf", ["A", "B", "C"]), "B": ("lx", [0x20]), "C": ("li", ["D"])}, "RAB", "RABCD",
     "Invalid subkey list type: [108, 120]"),
    ({"R": ("li", ["A"] * 200)}, "R", "R",
     "Invalid format: Key at offset {R} lists more keys than the hive holds (keys listed over and over)"),
], ids=["nested-ri", "self-loop", "mutual-loop", "damaged-list", "listed-over-and-over"])
def test_walk(tmp_path, lists, plain, tolerant, message):
    hive, off = graph(tmp_path, ["R", "A", "B", "C", "D"], lists)
    root, errors = hive.root_key(), []
    message = message and message.format(**off)
    assert walked(root) == (list(plain), message)
    assert walked(root, errors.append) == (list(tolerant), None)
    assert [(type(e), str(e)) for e in errors] == ([(ValueError, message)] if message else [])


def test_deep_chain(tmp_path):
    levels = [f"L{i}" for i in range(600)]
    hive, off = graph(tmp_path, levels, {a: ("li", [b]) for a, b in zip(levels, levels[1:])}, root="L0",
                      patches=[(b, 16, "<I", a) for a, b in zip(levels, levels[1:])])
    keys, message = walked(hive.root_key())
    assert (keys, message) == (levels[:513], f"Invalid format: Key at offset {off['L512']} has subkeys more than 512 "
                                             "levels below the start of the walk")
    deepest = hive.open_key("\\".join(levels[1:513]))
    assert names(deepest.subkeys()[0].walk()) == levels[513:]
    assert outcome(deepest.subkeys()[0].path) == error(
        f"Invalid format: Parent chain of the key at offset {off['L513']} is deeper than 512 keys")
