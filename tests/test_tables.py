"""Hive.table: the keys and values of a hive as Arrow streams. The columns on a test-side hive, the stream
protocol (read again, released unread, outliving its Hive, two threads, a strict error in the middle), the two
layouts (large strings and binary by default, views on request), and on every shared hive the same keys and
values as walk() and values(), through pyarrow, Polars and DuckDB, in each layout."""

import datetime
import gc
import hashlib
import struct
import threading

import pytest

import hivegen
import kelpa
from conftest import SHARED_HIVES, corpus_params, error, outcome
from hivegen import REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD, REG_SZ, Key, Value

pa = pytest.importorskip("pyarrow")


def layouts(hive, kind, **arguments):
    """The table in each layout offered: its default (large strings and binary), and views."""
    return {layout: hive.table(kind, layout=layout, **arguments) for layout in ("view", "large")}


TREE = Key("ROOT", last_written=0, subkeys=[
    Key("A", last_written=116444736000000010, class_name="boot", values=[
        Value("", REG_SZ, hivegen.sz("unnamed")), Value("m", REG_MULTI_SZ, hivegen.multi_sz(["x", "y"])),
        Value("d", REG_DWORD, hivegen.dword(7)), Value("be", REG_DWORD_BIG_ENDIAN, b"\0\0\1\0"),
        Value("q", REG_QWORD, hivegen.qword(2**40)), Value("short", REG_QWORD, b"\1\2\3\4\5"),
        Value("odd", REG_SZ, b"abc"), Value("bin", REG_BINARY, b"\0\1")]),
    Key("B", subkeys=[Key("C")])])


def test_columns():
    hive = kelpa.Hive.from_bytes(hivegen.build_tree(TREE))
    keys = pa.table(hive.table("keys")).to_pylist()
    assert [(k["path"], k["name"], k["parent_id"] is None, k["class_name"], k["subkey_count"], k["value_count"])
            for k in keys] == [("", "ROOT", True, None, 2, 0), ("A", "A", False, "boot", 0, 8), ("B", "B", False, None, 1, 0),
                               ("B\\C", "C", False, None, 0, 0)]
    assert (keys[0]["last_written"], keys[1]["last_written"], keys[1]["last_written_filetime"]) == (
        None, datetime.datetime(1970, 1, 1, 0, 0, 0, 1, tzinfo=datetime.UTC), 116444736000000010)
    assert [k["parent_id"] for k in keys[1:]] == [keys[0]["key_id"], keys[0]["key_id"], keys[2]["key_id"]]
    values = pa.table(hive.table("values")).to_pylist()
    assert [(v["key_id"], v["key_path"], v["name"], v["type_id"], v["text"], v["number"], v["deleted"]) for v in values] == [
        (keys[1]["key_id"], "A", None, REG_SZ, "unnamed", None, False), (keys[1]["key_id"], "A", "m", REG_MULTI_SZ, "x\0y", None, False),
        (keys[1]["key_id"], "A", "d", REG_DWORD, None, 7, False), (keys[1]["key_id"], "A", "be", REG_DWORD_BIG_ENDIAN, None, 256, False),
        (keys[1]["key_id"], "A", "q", REG_QWORD, None, 2**40, False), (keys[1]["key_id"], "A", "short", REG_QWORD, None, None, False),
        (keys[1]["key_id"], "A", "odd", REG_SZ, None, None, False), (keys[1]["key_id"], "A", "bin", REG_BINARY, None, None, False)]
    listed = hive.open_key("A").values()
    assert [v["data"] for v in values] == [v.raw_data() for v in listed]
    # The records' cell offsets: key_id is the key's; a value knows its own and its key's, by name too.
    assert [k.cell_offset() for k in hive.root_key().walk()] == [k["key_id"] for k in keys]
    assert {v.key_offset() for v in listed} == {keys[1]["key_id"]} and len({v.cell_offset() for v in listed}) == 8
    assert (hive.open_key("A").value("D").cell_offset(), hive.open_key("A").value("D").key_offset()) == (
        listed[2].cell_offset(), keys[1]["key_id"])
    below = pa.table(hive.table("keys", path="b")).column("path").to_pylist()
    assert below == ["B", "B\\C"]


HIDDEN = hivegen.sz("www.hotmail,com") + hivegen.sz("LS\\Software")  # data after the terminator


@pytest.mark.parametrize("type_id, data, text, as_string", [
    (REG_SZ, HIDDEN, "www.hotmail,com", "www.hotmail,com\0LS\\Software"),
    (REG_EXPAND_SZ, hivegen.sz("ok") + b"\0\xd8", "ok", error("Invalid UTF-16 string at offset 0x0")),  # a bad tail
    (REG_SZ, b"\0\0" + hivegen.sz("behind"), "", "\0behind"),
    (REG_SZ, "ab".encode("utf-16-le"), "ab", "ab"),  # no terminator: all of it
    (REG_SZ, b"\xfe\xff\0A\0\0\0B", "A", "A\0B"),  # big-endian after its mark
    (REG_SZ, b"abc", None, error("Invalid UTF-16 string at offset 0x0")),
], ids=["hidden", "bad-tail", "empty-first", "unterminated", "big-endian", "odd"])
def test_string_text_ends_at_the_first_nul(type_id, data, text, as_string):
    """The text column shows a string as the system does; data keeps every byte; as_string() decodes all of it."""
    hive = kelpa.Hive.from_bytes(hivegen.build_tree(Key("ROOT", values=[Value("v", type_id, data)])))
    row = pa.table(hive.table("values")).to_pylist()[0]
    assert (row["text"], row["data"]) == (text, data)
    assert outcome(lambda: hive.root_key().value("v").data().as_string()) == as_string


@pytest.mark.parametrize("minor", [3, 5])
def test_data_in_both_layouts(minor):
    """Inline data, data of a view's inline size and one byte more, a cell's data, big data (in segments from
    minor 4 on, one cell before): the same bytes in both layouts, and still there once the hive and its bytes
    are gone (a view points into the image, which its batch keeps alive)."""
    data = [b"", b"\1\2\3\4", b"12345", b"x" * 12, b"y" * 13, bytes(range(256)) * 80]
    image = hivegen.build_tree(Key("ROOT", values=[Value(f"v{i}", REG_BINARY, d) for i, d in enumerate(data)]), minor=minor)
    hive = kelpa.Hive.from_bytes(bytes(bytearray(image)))  # its only reference
    batches = {layout: list(pa.RecordBatchReader.from_stream(t))
               for layout, t in layouts(hive, "values", columns=["data", "name"]).items()}
    assert [b.schema.field("data").type for b in (batches["view"][0], batches["large"][0])] == [pa.binary_view(), pa.large_binary()]
    del hive
    gc.collect()
    for read in batches.values():
        assert pa.Table.from_batches(read).column("data").to_pylist() == data


@pytest.mark.parametrize("requested, raised", [
    (pa.schema([("key_id", pa.uint32())]), error("the requested schema's columns (key_id) are not the table's "
                                                  "(key_id, key_path, name, type_id, data, text, number, deleted)")),
    ({"data": pa.binary()}, error("the table cannot give column 'data' as 'z': it offers 'Z' (large binary) or 'vz' (binary view)")),
    ({"key_path": pa.string()}, error("the table cannot give column 'key_path' as 'u': it offers 'U' (large string) or 'vu' (string view)")),
    ({"key_id": pa.uint64()}, error("the table cannot give column 'key_id' as 'L': it offers 'I'")),
    (3, error("requested_schema: expected an 'arrow_schema' PyCapsule, not 'int'", TypeError)),
], ids=["columns", "binary", "string", "number", "not-a-capsule"])
def test_requested_schema(requested, raised):
    """A request names the table's columns, each as large or as view (column by column); anything else is refused."""
    table = kelpa.Hive.from_bytes(hivegen.build_tree(TREE)).table("values")
    schema = pa.schema(table)
    if isinstance(requested, dict):  # columns changed, the others as the table gives them
        for name, type_ in requested.items():
            schema = schema.set(schema.get_field_index(name), pa.field(name, type_))
        requested = schema
    capsule = requested.__arrow_c_schema__() if isinstance(requested, pa.Schema) else requested
    assert outcome(lambda: table.__arrow_c_stream__(capsule)) == raised
    mixed = pa.schema(table).set(1, pa.field("key_path", pa.string_view())).set(5, pa.field("text", pa.string_view()))
    read = pa.RecordBatchReader.from_stream(table, schema=mixed).read_all()
    assert read.schema == mixed and read.cast(pa.schema(table)) == pa.table(table)
    as_view = {pa.large_string(): pa.string_view(), pa.large_binary(): pa.binary_view()}
    assert pa.schema(kelpa.Hive.from_bytes(hivegen.build_tree(TREE)).table("values", layout="view")) == pa.schema(
        [field.with_type(as_view.get(field.type, field.type)) for field in pa.schema(table)])


def test_stream_protocol():
    image = hivegen.build_tree(TREE)
    hive = kelpa.Hive.from_bytes(image)
    table = values_table = hive.table("values")  # DuckDB finds it by its name
    first = pa.table(table)  # each read is a new stream over the hive, schema first or not
    assert first.num_rows == 8 and pa.table(table) == first and pa.schema(table) == first.schema
    duckdb = pytest.importorskip("duckdb")
    assert [duckdb.sql("select count(*), sum(number) from values_table").fetchall() for _ in range(2)] == [[(8, 7 + 256 + 2**40)]] * 2
    hive.table("keys").__arrow_c_stream__()  # a capsule dropped unread releases its stream
    unread, schema = hive.table("keys"), pa.schema(hive.table("keys"))
    del hive  # the table keeps the hive alive
    assert pa.table(unread).schema == schema and schema.field("last_written").type == pa.timestamp("us", tz="UTC")
    hives = [kelpa.Hive.from_bytes(image) for _ in range(2)]
    results = [None, None]
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, pa.table(hives[i].table("keys")))) for i in (0, 1)]
    [t.start() for t in threads], [t.join() for t in threads]
    assert results[0] == results[1] and results[0].num_rows == 4
    assert outcome(lambda: hives[0].table("rows")) == error("kind must be 'keys' or 'values', not 'rows'")
    assert outcome(lambda: hives[0].table("keys", path="nope")) == error("Not found: Key 'nope'")


KEY_COLUMNS = ("key_id, parent_id, path, name, last_written, last_written_filetime, class_name, flags, subkey_count, "
               "value_count, deleted")


@pytest.mark.parametrize("kind, columns", [
    ("keys", ["name"]), ("keys", ("class_name", "key_id")), ("keys", ["path", "parent_id", "deleted", "flags"]),
    ("values", ["data"]), ("values", ["text", "key_path", "number"]), ("values", ["deleted", "name", "key_id"]),
])
def test_columns_asked_for(kind, columns):
    """Only the columns asked for, in their order: the same as those columns of the whole table, deleted records too."""
    image = hivegen.deleted_scene()[0]
    for hive, deleted in ((kelpa.Hive.from_bytes(hivegen.build_tree(TREE)), False), (kelpa.Hive.from_bytes(image), True)):
        whole = pa.table(hive.table(kind, deleted=deleted)).select(list(columns))
        chosen = hive.table(kind, deleted=deleted, columns=columns)
        assert pa.schema(chosen) == whole.schema and pa.table(chosen) == whole and whole.num_rows > 0


@pytest.mark.parametrize("arguments, raised", [
    ({"columns": ["name", "nope"]}, error(f"no column 'nope' in the keys table; its columns are {KEY_COLUMNS}")),
    ({"columns": ["name", "path", "name"]}, error("column 'name' asked for twice")),
    ({"columns": []}, error("columns must name at least one column")),
    ({"columns": "name"}, error("argument 'columns': expected a sequence of column names, not 'str'", TypeError)),
    ({"columns": 3}, error("argument 'columns': expected a sequence of column names, not 'int'", TypeError)),
    ({"columns": [b"name"]}, error("argument 'columns': 'bytes' object cannot be converted to 'PyString'", TypeError)),
    ({"layout": "views"}, error("layout must be 'large' or 'view', not 'views'")),
])
def test_table_argument_errors(arguments, raised):
    hive = kelpa.Hive.from_bytes(hivegen.build_tree(TREE))
    assert outcome(lambda: hive.table("keys", **arguments)) == raised


def test_errors_end_a_strict_table_and_are_problems_of_a_tolerant_one():
    image, problems = hivegen.damaged_scene()
    table = kelpa.Hive.from_bytes(image).table("keys")
    for _ in range(2):  # the same error on every read
        with pytest.raises(OSError, match="Invalid subkey list type: \\[122, 122\\]"):
            pa.RecordBatchReader.from_stream(table).read_all()
    tolerant = kelpa.Hive.from_bytes(image, strict=False)
    assert pa.table(tolerant.table("keys")).column("name").to_pylist() == ["ROOT", "A", "B\ufffd", "C", "D"]
    assert pa.table(tolerant.table("values")).column("name").to_pylist() == ["good", "lost", "o\ufffd", "good"]
    assert sorted(tolerant.problems()) == sorted(problems)
    # A class name that cannot be read: the strict table's error, the tolerant table's null and problem.
    b = hivegen.HiveBuilder()
    image = b.build(root=b.nk("ROOT", root=True, class_name=0x7FF0, class_name_length=8))
    with pytest.raises(OSError, match=r"Invalid offset 0x7ff0 \(hive size: 0x2000\)"):
        pa.RecordBatchReader.from_stream(kelpa.Hive.from_bytes(image).table("keys")).read_all()
    tolerant = kelpa.Hive.from_bytes(image, strict=False)
    assert pa.table(tolerant.table("keys")).column("class_name").to_pylist() == [None]
    assert tolerant.problems() == [(0x7FF0, "Invalid offset 0x7ff0 (hive size: 0x2000)")]
    # Left out, the class name is not read: no error, no problem.
    strict = kelpa.Hive.from_bytes(image)
    assert pa.table(strict.table("keys", columns=["name", "value_count"])).to_pylist() == [{"name": "ROOT", "value_count": 0}]
    assert strict.problems() == []


def test_deleted_records_follow():
    image, deleted_keys, deleted_values = hivegen.deleted_scene()
    hive = kelpa.Hive.from_bytes(image)
    keys = pa.table(hive.table("keys", deleted=True)).to_pylist()
    values = pa.table(hive.table("values", deleted=True)).to_pylist()
    assert [k["name"] for k in keys if k["deleted"]] == deleted_keys
    gone = hive.deleted_keys()[1].cell_offset()  # lists the first deleted value; its parent is no key
    assert [(v["name"], v["data"], v["key_id"], v["key_path"]) for v in values if v["deleted"]] == [
        (n, d, k, p) for (n, d), k, p in zip(deleted_values, [gone, None, None, None], ["Deleted", None, None, None])]


def walk_digests(keys_names, values):
    names = hashlib.sha256(b"".join(n.encode() + b"\0" for n in keys_names))
    data = hashlib.sha256(b"".join(struct.pack("<IQ", t, len(d)) + d for t, d in values))
    return names.hexdigest(), data.hexdigest()


@pytest.mark.parametrize("record", corpus_params())
def test_tables_hold_what_the_walk_reads(record):
    polars, duckdb = pytest.importorskip("polars"), pytest.importorskip("duckdb")
    path = SHARED_HIVES / record["file"]
    try:
        hive = kelpa.Hive.from_path(path)
        keys = list(hive.root_key().walk())
        listed = [(k, k.values()) for k in keys]
    except ValueError:
        hive = kelpa.Hive.from_path(path, strict=False)
        keys = list(hive.root_key().walk())
        listed = [(k, k.values()) for k in keys]
    expected = walk_digests([k.name() for k in keys], [(v.value_type().type_id(), v.raw_data()) for _, vs in listed for v in vs])
    by_key = [(k.name(), [(v.name(), v.raw_data()) for v in vs]) for k, vs in listed]
    readers = {"pyarrow": pa.table, "polars": lambda t: polars.DataFrame(t).to_arrow(),
               "duckdb": lambda t: duckdb.connect().sql("select * from t").to_arrow_table()}
    tables = {}
    for layout in ("view", "large"):
        for reader, read in readers.items():
            key_table, value_table = (read(layouts(hive, kind)[layout]) for kind in ("keys", "values"))
            got = walk_digests(key_table.column("name").to_pylist(),
                               zip(value_table.column("type_id").to_pylist(), value_table.column("data").to_pylist()))
            assert got == expected and key_table.column("value_count").to_pylist() == [k.value_count() for k in keys]
            tables[layout, reader] = key_table, value_table
    # Every column alike in both layouts (key paths repeated across batch boundaries among them).
    views, large = tables["view", "pyarrow"], tables["large", "pyarrow"]
    assert all(v.cast(w.schema) == w for v, w in zip(views, large))
    names = value_table.column("name").to_pylist()
    assert sum(len(vs) for _, vs in by_key) == len(names) and [n or "(default)" for n in names] == [
        n for _, vs in by_key for n, _ in vs]
