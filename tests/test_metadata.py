"""MetadataStore: payloads, full-text search and JSON field filters in SQLite.

Python's own sqlite3 module is the independent witness of what the store leaves in its database
file: the schema texts, the stored rows and their storage classes, the journal mode and the state
of the full-text index.
"""

import collections
import inspect
import json
import os
import pathlib
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

import varnelo_shard_engine as vse
from varnelo_shard_engine import MetadataStore

TWO_63 = 2**63
U64_MAX = 2**64 - 1


@pytest.fixture
def store():
    return MetadataStore()


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "meta.db")


def witness(path):
    con = sqlite3.connect(path, isolation_level=None)
    return con


def rows(path, sql="SELECT doc_id, payload, text_content FROM docs ORDER BY doc_id", params=()):
    with witness(path) as con:
        return con.execute(sql, params).fetchall()


def wreck_docs_table(path):
    """Overwrites the root page of the table docs (the whole table, when it is small)."""
    with witness(path) as con:
        (root,), = con.execute("SELECT rootpage FROM sqlite_master WHERE name = 'docs'").fetchall()
        (page_size,), = con.execute("PRAGMA page_size").fetchall()
    with open(path, "r+b") as f:
        f.seek((root - 1) * page_size)
        f.write(b"\xff" * page_size)


def fts_integrity_check(path):
    # Raises when docs_fts disagrees with its content table docs.
    with witness(path) as con:
        con.execute("INSERT INTO docs_fts(docs_fts) VALUES('integrity-check')")


# --------------------------------------------------------------------------------------------------
# Class surface

METHODS = [
    ("set_payload", "(self, /, doc_id, payload_json, text_content=None)",
     "Set (upsert) the JSON payload for a document.\n`text_content` is indexed for FTS if provided."),
    ("get_payload", "(self, /, doc_id)", "Get the JSON payload for a document, or None."),
    ("delete_payload", "(self, /, doc_id)", "Delete a document's metadata. Returns True if it existed."),
    ("set_payloads_bulk", "(self, /, items)",
     "Bulk set payloads in a single transaction.\n"
     "`items` is a list of (doc_id, payload_json, text_content) tuples."),
    ("search_text", "(self, /, query, limit=100)", "Full-text search. Returns doc_ids matching the FTS5 query."),
    ("create_field_index", "(self, /, field_path)",
     "Create an expression index on a JSON field for fast filtering.\n"
     '`field_path` must be alphanumeric/underscore/dot only (e.g. "color", "nested.field").'),
    ("filter_by_field", "(self, /, field_path, value, limit=10000)",
     "Filter doc_ids by a JSON field equality check.\n"
     "Uses json_extract \u2014 call `create_field_index` first for fast lookups."),
    ("count", "(self, /)", "Number of documents in the store."),
    ("all_doc_ids", "(self, /)", "Get all doc_ids in the store."),
]


def test_class_surface():
    assert vse.__all__[:2] == ["ShardIndex", "MetadataStore"]
    assert MetadataStore.__name__ == "MetadataStore"
    assert MetadataStore.__doc__ == ""
    assert str(inspect.signature(MetadataStore)) == "(path=':memory:')"
    public = [name for name in vars(MetadataStore) if not name.startswith("_")]
    assert public == [name for name, _, _ in METHODS]
    for name, signature, doc in METHODS:
        method = getattr(MetadataStore, name)
        assert str(inspect.signature(method)) == signature, name
        assert method.__doc__ == doc, name

    with pytest.raises(TypeError):
        type("Sub", (MetadataStore,), {})
    s = MetadataStore()
    with pytest.raises(AttributeError):
        s.extra = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(s)


def test_argument_binding_errors(store):
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'payload_json'"):
        store.set_payload(1)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'text'"):
        store.set_payload(1, "{}", text="x")
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given"):
        store.count(1)
    # Conversions run in parameter order, before any SQL or value check.
    with pytest.raises(TypeError, match=r"^argument 'doc_id': 'str' object cannot be interpreted as an integer$"):
        store.get_payload("1")
    with pytest.raises(TypeError, match=r"^argument 'payload_json': 'dict' object cannot be converted to 'str'$"):
        store.set_payload(TWO_63, {})
    with pytest.raises(TypeError, match=r"^argument 'text_content'"):
        store.set_payload(TWO_63, "{}", b"bytes")
    with pytest.raises(TypeError, match=r"^argument 'value': 'int' object cannot be converted to 'str'$"):
        store.filter_by_field("n", 5)
    with pytest.raises(TypeError, match=r"^argument 'limit'"):
        store.search_text("x", None)
    with pytest.raises(OverflowError):
        store.search_text("x", -1)
    # `value` and `limit` are converted before the empty path is refused.
    with pytest.raises(OverflowError):
        store.filter_by_field("", "x", -1)
    assert store.count() == 0


# --------------------------------------------------------------------------------------------------
# Construction and schema

EXPECTED_SCHEMA = [
    ("table", "docs",
     "CREATE TABLE docs (\n"
     "    doc_id    INTEGER PRIMARY KEY,\n"
     "    payload   TEXT NOT NULL DEFAULT '{}',\n"
     "    text_content TEXT NOT NULL DEFAULT '',\n"
     "    updated_at INTEGER NOT NULL DEFAULT (strftime('%s','now'))\n"
     ")"),
    ("index", "idx_docs_updated", "CREATE INDEX idx_docs_updated ON docs(updated_at)"),
    ("table", "docs_fts",
     "CREATE VIRTUAL TABLE docs_fts USING fts5(\n"
     "    text_content,\n"
     "    content=docs,\n"
     "    content_rowid=doc_id,\n"
     "    tokenize='porter unicode61'\n"
     ")"),
    ("trigger", "docs_ai",
     "CREATE TRIGGER docs_ai AFTER INSERT ON docs BEGIN\n"
     "    INSERT INTO docs_fts(rowid, text_content) VALUES (new.doc_id, new.text_content);\n"
     "END"),
    ("trigger", "docs_ad",
     "CREATE TRIGGER docs_ad AFTER DELETE ON docs BEGIN\n"
     "    INSERT INTO docs_fts(docs_fts, rowid, text_content) VALUES('delete', old.doc_id, old.text_content);\n"
     "END"),
    ("trigger", "docs_au",
     "CREATE TRIGGER docs_au AFTER UPDATE ON docs BEGIN\n"
     "    INSERT INTO docs_fts(docs_fts, rowid, text_content) VALUES('delete', old.doc_id, old.text_content);\n"
     "    INSERT INTO docs_fts(rowid, text_content) VALUES (new.doc_id, new.text_content);\n"
     "END"),
]
FTS_SHADOW_TABLES = {"docs_fts_data", "docs_fts_idx", "docs_fts_docsize", "docs_fts_config"}


def schema(path):
    return rows(path, "SELECT type, name, sql FROM sqlite_master ORDER BY rowid")


def test_schema_is_created_once_with_the_exact_texts(db_path):
    s = MetadataStore(db_path)
    found = schema(db_path)
    assert [r for r in found if r[1] not in FTS_SHADOW_TABLES] == EXPECTED_SCHEMA
    assert {r[1] for r in found} >= FTS_SHADOW_TABLES
    assert rows(db_path, "PRAGMA journal_mode") == [("wal",)]

    s.set_payload(1, '{"color": "red"}', "kept text")
    s.create_field_index("color")
    del s
    before = schema(db_path)
    s = MetadataStore(db_path)
    assert schema(db_path) == before
    assert s.get_payload(1) == '{"color": "red"}'
    assert s.search_text("kept") == [1]


def test_in_memory_and_empty_paths_are_private(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    a, b, c = MetadataStore(), MetadataStore(":memory:"), MetadataStore(path="")
    d = MetadataStore("")
    for s in (a, b, c, d):
        assert s.count() == 0
    a.set_payload(1, "{}")
    c.set_payload(1, "{}")
    assert (a.count(), b.count(), c.count(), d.count()) == (1, 0, 1, 0)
    assert os.listdir(tmp_path) == []


def test_paths_other_than_exactly_memory_are_files(tmp_path):
    # ":memory:" inside a longer name is an ordinary file name ...
    MetadataStore(str(tmp_path / ":memory:")).set_payload(1, "{}")
    assert rows(str(tmp_path / ":memory:"), "SELECT doc_id FROM docs") == [(1,)]
    # ... and "file:" names are URIs, with their query parameters.
    MetadataStore(f"file:{tmp_path}/uri.db?mode=rwc").set_payload(2, "{}")
    assert rows(str(tmp_path / "uri.db"), "SELECT doc_id FROM docs") == [(2,)]


def test_two_stores_on_one_file_share_its_data(db_path):
    a, b = MetadataStore(db_path), MetadataStore(db_path)
    a.set_payload(5, '{"x": 1}', "shared words")
    assert b.get_payload(5) == '{"x": 1}'
    assert b.search_text("shared") == [5]


@pytest.mark.parametrize("path", [None, b"meta.db", pathlib.Path("meta.db"), 3])
def test_constructor_refuses_a_path_that_is_not_str(path, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError, match=r"^argument 'path': '\w+' object cannot be converted to 'str'$"):
        MetadataStore(path)
    assert os.listdir(tmp_path) == []


def test_constructor_failures(tmp_path):
    with pytest.raises(OSError, match=r"^SQLite open failed: unable to open database file$"):
        MetadataStore(str(tmp_path / "missing" / "meta.db"))
    with pytest.raises(OSError, match=r"^SQLite open failed: path holds a NUL character at byte 2$"):
        MetadataStore("ab\0c")
    not_a_db = tmp_path / "junk.db"
    not_a_db.write_bytes(b"this is not an SQLite database" * 200)
    with pytest.raises(OSError, match=r"^PRAGMA failed: file is not a database$"):
        MetadataStore(str(not_a_db))
    assert not_a_db.read_bytes() == b"this is not an SQLite database" * 200


# --------------------------------------------------------------------------------------------------
# Payload operations

PAYLOADS = [
    '{"color": "red", "n": 5}',
    "",
    "not JSON at all",
    '  {"spaced" :  true }  ',
    "größe \u2014 \U0001f600",
    "embedded\0nul",
    "x" * 100_000,
]


def test_payloads_are_stored_and_read_back_exactly(db_path):
    s = MetadataStore(db_path)
    for doc_id, payload in enumerate(PAYLOADS):
        s.set_payload(doc_id, payload)
    for doc_id, payload in enumerate(PAYLOADS):
        assert s.get_payload(doc_id) == payload
    stored = rows(db_path, "SELECT doc_id, typeof(payload), payload, text_content FROM docs ORDER BY doc_id")
    assert stored == [(i, "text", p, "") for i, p in enumerate(PAYLOADS)]


def test_set_payload_upserts_every_column(db_path):
    s = MetadataStore(db_path)
    s.set_payload(7, '{"v": 1}')
    s.set_payload(8, '{"v": 1}', None)
    assert rows(db_path) == [(7, '{"v": 1}', ""), (8, '{"v": 1}', "")]

    with witness(db_path) as con:
        con.execute("UPDATE docs SET updated_at = 0")
    s.set_payload(7, '{"v": 2}', "the quick brown foxes")
    s.set_payload(7, '{"v": 3}', "lazy dogs sleeping")
    assert rows(db_path, "SELECT doc_id, payload, text_content FROM docs WHERE doc_id = 7") == [
        (7, '{"v": 3}', "lazy dogs sleeping")
    ]
    (updated,), = rows(db_path, "SELECT updated_at FROM docs WHERE doc_id = 7")
    assert abs(updated - time.time()) < 60
    assert rows(db_path, "SELECT updated_at FROM docs WHERE doc_id = 8") == [(0,)]
    assert s.search_text("fox") == []
    assert s.search_text("dog") == [7]
    fts_integrity_check(db_path)


def test_document_ids_keep_their_64_bits(db_path):
    s = MetadataStore(db_path)
    with pytest.raises(ValueError, match=r"^doc_id exceeds SQLite INTEGER range$"):
        s.set_payload(TWO_63, "{}")
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError):
            s.set_payload(bad, "{}")
    s.set_payload(TWO_63 - 1, '{"k": "max"}', "largest signed")
    # The bulk write stores ids of 2^63 and more, as negative integers.
    assert s.set_payloads_bulk([(TWO_63, '{"k": "big"}', "big one"), (U64_MAX, '{"k": "top"}', "top one"),
                                (0, '{"k": "zero"}', "zero one")]) == 3
    assert rows(db_path, "SELECT doc_id, typeof(doc_id) FROM docs ORDER BY doc_id") == [
        (-TWO_63, "integer"), (-1, "integer"), (0, "integer"), (TWO_63 - 1, "integer")
    ]
    assert s.all_doc_ids() == [TWO_63, U64_MAX, 0, TWO_63 - 1]
    assert s.get_payload(TWO_63) == '{"k": "big"}'
    assert s.get_payload(U64_MAX) == '{"k": "top"}'
    assert sorted(s.search_text("top OR big")) == [TWO_63, U64_MAX]
    assert s.filter_by_field("k", "top") == [U64_MAX]
    assert s.delete_payload(U64_MAX) is True
    assert s.get_payload(U64_MAX) is None
    assert s.count() == 3


def test_get_payload_is_none_without_a_text_payload(db_path):
    s = MetadataStore(db_path)
    s.set_payload(1, "{}")
    # Rows written by other means: a BLOB (the TEXT affinity keeps its class) and TEXT bytes that
    # are not UTF-8.
    with witness(db_path) as con:
        con.execute("INSERT INTO docs(doc_id, payload) VALUES (2, X'7B7D'), (3, CAST(X'FF7B' AS TEXT))")
    assert rows(db_path, "SELECT typeof(payload) FROM docs ORDER BY doc_id") == [("text",), ("blob",), ("text",)]
    assert [s.get_payload(i) for i in (1, 2, 3, 4, U64_MAX)] == ["{}", None, None, None, None]


def test_delete_payload(db_path):
    s = MetadataStore(db_path)
    s.set_payloads_bulk([(1, "{}", "alpha words"), (2, "{}", "beta words")])
    assert s.delete_payload(1) is True
    assert s.delete_payload(1) is False
    assert s.count() == len(s.all_doc_ids()) == 1
    assert s.search_text("alpha") == []
    assert s.search_text("words") == [2]
    fts_integrity_check(db_path)


Item = collections.namedtuple("Item", "doc_id payload text")


def test_bulk_write(db_path):
    s = MetadataStore(db_path)
    assert s.set_payloads_bulk([]) == 0
    assert s.count() == 0
    # Any sequence of tuples (tuple subclasses included); a later item of the same id wins.
    items = (Item(3, '{"a": 1}', "first text"), (4, '{"b": 2}', "other"), (3, '{"a": 2}', "second text"))
    assert s.set_payloads_bulk(items) == 3
    assert rows(db_path) == [(3, '{"a": 2}', "second text"), (4, '{"b": 2}', "other")]
    assert s.search_text("first") == []
    assert s.search_text("second") == [3]
    fts_integrity_check(db_path)
    # The statement is cached and reused by the next bulk call.
    assert s.set_payloads_bulk([(5, "{}", "")]) == 1
    assert s.count() == 3


GOOD = (1, '{"ok": true}', "good item")


@pytest.mark.parametrize(
    "items, exc, message",
    [
        ("abc", TypeError, r"^argument 'items': Can't extract `str` to `Vec`$"),
        (5, TypeError, r"^argument 'items': 'int' object cannot be converted to 'Sequence'$"),
        ((x for x in [GOOD]), TypeError, r"^argument 'items': 'generator' object cannot be converted to 'Sequence'$"),
        ([GOOD, (2, "{}")], ValueError, r"^expected tuple of length 3, but got tuple of length 2$"),
        ([GOOD, (2, "{}", "t", "u")], ValueError, r"^expected tuple of length 3, but got tuple of length 4$"),
        ([GOOD, [2, "{}", "t"]], TypeError, r"^argument 'items': 'list' object cannot be converted to 'PyTuple'$"),
        ([GOOD, (2, "{}", None)], TypeError, r"^argument 'items': 'NoneType' object cannot be converted to 'str'$"),
        ([GOOD, ("2", "{}", "t")], TypeError, r"^argument 'items': 'str' object cannot be interpreted as an integer$"),
        ([GOOD, (-2, "{}", "t")], OverflowError, r"negative"),
        ([GOOD, (2**64, "{}", "t")], OverflowError, r"too big"),
    ],
)
def test_bulk_write_refuses_bad_items_before_writing(db_path, items, exc, message):
    s = MetadataStore(db_path)
    s.set_payload(1, '{"old": true}', "old text")
    with pytest.raises(exc, match=message):
        s.set_payloads_bulk(items)
    assert rows(db_path) == [(1, '{"old": true}', "old text")]


def test_bulk_write_failing_part_way_leaves_nothing_written(db_path):
    s = MetadataStore(db_path)
    s.set_payload(1, '{"color": "blue"}', "original words")
    s.create_field_index("color")  # from now on SQLite parses every payload written
    items = [(1, '{"color": "red"}', "replaced words"), (2, '{"color": "green"}', "fresh words"),
             (3, "not json", "broken item")]
    with pytest.raises(OSError, match=r"^bulk insert failed: malformed JSON$"):
        s.set_payloads_bulk(items)
    assert rows(db_path) == [(1, '{"color": "blue"}', "original words")]
    assert s.search_text("fresh OR replaced") == []
    assert s.filter_by_field("color", "blue") == [1]
    fts_integrity_check(db_path)
    # No transaction was left open: the store and other connections can write at once.
    assert s.set_payloads_bulk(items[:2]) == 2
    with witness(db_path) as con:
        con.execute("BEGIN IMMEDIATE")
        con.execute("ROLLBACK")
    assert s.count() == 2


# --------------------------------------------------------------------------------------------------
# Full-text search

def test_text_search_stems_and_folds_case_and_diacritics(store):
    store.set_payloads_bulk([
        (7, "{}", "the quick brown foxes"),
        (8, "{}", "Searched the Café menus"),
        (9, "{}", "nothing relevant"),
    ])
    for query, expected in [("fox", [7]), ("QUICK", [7]), ("foxes brown", [7]), ("searching", [8]),
                            ("cafe", [8]), ("MENU", [8]), ('"quick brown"', [7]), ('"brown quick"', []),
                            ("qui*", [7]), ("fox OR menu", None), ("fox NOT quick", []), ("elephant", []),
                            ("text_content:fox", [7])]:
        found = store.search_text(query)
        if expected is None:
            assert sorted(found) == [7, 8], query
        else:
            assert found == expected, query


def test_text_search_follows_deletes_and_upserts(db_path):
    s = MetadataStore(db_path)
    s.set_payload(7, "{}", "the quick brown foxes")
    s.delete_payload(7)
    assert s.search_text("fox") == [] and s.search_text("QUICK") == []
    s.set_payload(7, "{}", "the quick brown foxes")
    s.set_payload(7, "{}", "slow green turtles")
    assert s.search_text("fox") == []
    assert s.search_text("turtle") == [7]
    fts_integrity_check(db_path)


def test_text_search_orders_by_rank_and_limits(store):
    store.set_payloads_bulk([
        (1, "{}", "apple banana cherry date elderberry fig grape honeydew kiwi lemon"),
        (2, "{}", "apple apple apple"),
        (3, "{}", "banana only"),
        (4, "{}", "apple pie with banana"),
    ])
    assert store.search_text("apple") == [2, 4, 1]
    assert store.search_text("apple", 1) == [2]
    assert store.search_text("apple", limit=2) == [2, 4]
    assert store.search_text("apple", 0) == []
    assert store.search_text("apple", TWO_63) == [2, 4, 1]  # bound negative: no limit
    assert store.search_text("apple", U64_MAX) == [2, 4, 1]


@pytest.mark.parametrize("query, message", [
    ('"unbalanced', r"^FTS row failed: unterminated string$"),
    ("apple AND", r'^FTS row failed: fts5: syntax error near ""$'),
    ("   ", r'^FTS row failed: fts5: syntax error near ""$'),
    ("nocolumn:apple", r"^FTS row failed: no such column: nocolumn$"),
])
def test_text_search_reports_query_syntax_errors(store, query, message):
    store.set_payload(1, "{}", "apple")
    with pytest.raises(OSError, match=message):
        store.search_text(query)
    assert store.search_text("apple") == [1]


# --------------------------------------------------------------------------------------------------
# Field filters and field indexes

FILTER_DOCS = [
    (1, '{"color": "red", "n": 5, "nested": {"field": "deep"}, "tags": ["a", "b"], "flag": true}'),
    (2, '{"color": "Red", "n": "5", "nested": {"field": "other"}, "tags": ["b"], "obj": {"k": [1, 2]}}'),
    (3, '{"color": "red ", "$": "dollar", "flag": "true", "none": null, "a.b": "dotted"}'),
    (4, '{"other": "red"}'),
]


@pytest.mark.parametrize("path, value, expected", [
    ("color", "red", [1]),                 # exact text: not "Red", not "red "
    ("$.color", "red", [1]),               # "$." leads: the path is used as it is
    ("color", "Red", [2]),
    ("n", "5", [2]),                       # the JSON number 5 never equals the text "5"
    ("nested.field", "deep", [1]),
    ("$.nested.field", "other", [2]),
    ("tags[0]", "a", [1]),
    ("tags[0]", "b", [2]),
    ("tags", '["b"]', [2]),                # arrays and objects compare as compact JSON text
    ("obj", '{"k":[1,2]}', [2]),
    ("obj", '{"k": [1, 2]}', []),
    ("flag", "true", [3]),                 # JSON true is not the text "true"
    ("none", "null", []),
    ("missing", "red", []),
    ("$", "dollar", [3]),                  # "$" becomes "$.$"
    ('"a.b"', "dotted", [3]),              # quoted labels pass through to SQLite
])
def test_filter_by_field(path, value, expected):
    s = MetadataStore()
    s.set_payloads_bulk([(i, p, "") for i, p in FILTER_DOCS])
    assert sorted(s.filter_by_field(path, value)) == expected
    s.create_field_index("color")
    s.create_field_index("nested.field")
    assert sorted(s.filter_by_field(path, value)) == expected


# The store's own filter statement without a field index (kFieldFilter in src/metadata/store.cpp).
STORE_FILTER = "SELECT doc_id FROM docs WHERE json_extract(payload, ?) = ? LIMIT ?"
QUOTED_KEYS = [
    (1, {"it's": "v", "color": "v"}),
    (2, {"a'b''c": "v"}),
    (3, {"x') = 'x' OR '1'='1": "v", "a": "v"}),
    (4, {"'; DROP TABLE docs; --": "w"}),
]


# The path is written into the store's statement as a literal: quotes must stay inside it, and a
# NUL (which no literal can hold) must behave as with the bound path.
@pytest.mark.parametrize("path, expected", [
    ("it's", [1]),
    ("$.it's", [1]),
    ("a'b''c", [2]),
    ("x') = 'x' OR '1'='1", [3]),
    ("'; DROP TABLE docs; --", []),
    ("color') = 'v' OR 1=1 --", []),
    ("\\'", []),
    ("color\0' OR 1=1 --", [1]),          # SQLite reads a bound path up to its NUL: "$.color"
    ("a\0b", [3]),
])
def test_filter_paths_with_quotes_and_nul(db_path, path, expected):
    s = MetadataStore(db_path)
    s.set_payloads_bulk([(i, json.dumps(p), "") for i, p in QUOTED_KEYS])
    for indexed in (False, True):
        if indexed:
            s.create_field_index("color")
            s.create_field_index("a")
        assert s.filter_by_field(path, "v") == expected
        json_path = path if path.startswith("$.") else "$." + path
        with witness(db_path) as con:
            assert [r[0] for r in con.execute(STORE_FILTER, (json_path, "v", 10000))] == expected
        assert s.count() == len(QUOTED_KEYS)


def test_filter_with_a_field_index_reads_the_index(db_path):
    s = MetadataStore(db_path)
    s.set_payloads_bulk([(i, json.dumps({"k": "v" if i % 3 else "w", "u": "v"}), "") for i in range(60)])
    s.create_field_index("k")
    want = s.filter_by_field("k", "v")
    assert want == [i for i in range(60) if i % 3]
    del s  # the last connection checkpoints the log into the file
    wreck_docs_table(db_path)  # only a filter that reads the field index alone still answers
    s = MetadataStore(db_path)
    assert s.filter_by_field("k", "v") == want
    assert s.filter_by_field("$.k", "v", 5) == want[:5]
    with pytest.raises(OSError, match=r"^filter row failed: database disk image is malformed$"):
        s.filter_by_field("u", "v")  # no index on this field: the table is scanned


def test_filter_limits_and_errors(store):
    store.set_payloads_bulk([(i, '{"k": "v"}', "") for i in range(10)])
    assert len(store.filter_by_field("k", "v")) == 10
    assert len(store.filter_by_field("k", "v", 3)) == 3
    assert store.filter_by_field("k", "v", limit=0) == []
    assert len(store.filter_by_field("k", "v", U64_MAX)) == 10
    with pytest.raises(ValueError, match=r"^field_path cannot be empty$"):
        store.filter_by_field("", "v")
    # A stored payload that is not JSON surfaces while scanning (no field index yet, so it was stored).
    store.set_payload(99, "{broken")
    with pytest.raises(OSError, match=r"^filter row failed: malformed JSON$"):
        store.filter_by_field("k", "v")


def field_indexes(path):
    return rows(path, "SELECT name, sql FROM sqlite_master WHERE name LIKE 'idx_json_%' ORDER BY name")


def test_create_field_index_names_and_collisions(db_path):
    s = MetadataStore(db_path)
    assert s.create_field_index("color") is None
    assert s.create_field_index("color") is None
    s.create_field_index("nested.field")
    s.create_field_index("nestedfield")     # same suffix: nothing happens
    s.create_field_index("größe")
    s.create_field_index("x\u00b2")
    s.create_field_index("_a.b_1")
    assert field_indexes(db_path) == [
        ("idx_json__ab_1", "CREATE INDEX idx_json__ab_1 ON docs(json_extract(payload, '$._a.b_1'))"),
        ("idx_json_color", "CREATE INDEX idx_json_color ON docs(json_extract(payload, '$.color'))"),
        ("idx_json_größe", "CREATE INDEX idx_json_größe ON docs(json_extract(payload, '$.größe'))"),
        ("idx_json_nestedfield", "CREATE INDEX idx_json_nestedfield ON docs(json_extract(payload, '$.nested.field'))"),
        ("idx_json_x\u00b2", "CREATE INDEX idx_json_x\u00b2 ON docs(json_extract(payload, '$.x\u00b2'))"),
    ]


@pytest.mark.parametrize("path", [
    "$.color", "a-b", "a b", "it's", 'a"b', "a;b", "a[0]", "a\0b", "\t",
    "\u0080", "\u00a9", "\u2014", "x\U0001f600",
])
def test_create_field_index_character_rule_refuses(db_path, path):
    s = MetadataStore(db_path)
    with pytest.raises(ValueError, match=r"^field_path must contain only alphanumeric, underscore, or dot characters$"):
        s.create_field_index(path)
    assert field_indexes(db_path) == []


@pytest.mark.parametrize("path", ["\u00aa", "\u00b2", "\u0661\u0662", "\u2167", "\u00bd", "日本", "Ωmega"])
def test_create_field_index_character_rule_admits_unicode_letters_and_numbers(db_path, path):
    # ª (first non-ASCII Alphabetic), ² and ½ (No), Arabic-Indic digits (Nd), Ⅷ (Nl), CJK and Greek.
    MetadataStore(db_path).create_field_index(path)
    assert field_indexes(db_path) == [(f"idx_json_{path}",
                                       f"CREATE INDEX idx_json_{path} ON docs(json_extract(payload, '$.{path}'))")]


def test_create_field_index_empty_path(store):
    with pytest.raises(ValueError, match=r"^field_path cannot be empty$"):
        store.create_field_index("")


def test_field_index_refuses_malformed_json_from_then_on(db_path):
    s = MetadataStore(db_path)
    s.set_payload(1, '{"a": {"b": 1}}')
    s.set_payload(2, "not json")
    # Over a table that already holds a non-JSON payload the index cannot be built.
    with pytest.raises(OSError, match=r"^create index failed: malformed JSON$"):
        s.create_field_index("color")
    assert field_indexes(db_path) == []
    s.delete_payload(2)
    s.create_field_index("color")
    with pytest.raises(OSError, match=r"^set_payload failed: malformed JSON$"):
        s.set_payload(3, "{oops")
    assert s.all_doc_ids() == [1]


@pytest.mark.parametrize("path", [".", "..", ".a", "a.", "a..b", "a.b."])
def test_create_field_index_refuses_empty_segments(db_path, path):
    # SQLite would take such an index on an empty table, then refuse every later write of it
    # ("JSON path error"), for good.
    s = MetadataStore(db_path)
    with pytest.raises(ValueError, match=r"^field_path cannot have empty segments \(leading, trailing, or consecutive dots\)$"):
        s.create_field_index(path)
    assert field_indexes(db_path) == []
    s.set_payload(1, '{"a": {"b": "x"}}')
    assert s.filter_by_field("a.b", "x") == [1]
    # The character rule still comes first.
    with pytest.raises(ValueError, match="^field_path must contain only"):
        s.create_field_index(path + "-")


# --------------------------------------------------------------------------------------------------
# Failures of the database itself

def test_methods_report_a_broken_schema_with_their_own_messages(db_path):
    s = MetadataStore(db_path)
    s.set_payload(1, "{}", "text")
    with witness(db_path) as con:
        con.execute("DROP TABLE docs_fts")
        con.execute("DROP TABLE docs")
    with pytest.raises(OSError, match=r"^count failed: no such table: docs$"):
        s.count()
    cases = [
        (lambda: s.get_payload(1), r"^prepare failed: no such table: docs"),
        (s.all_doc_ids, r"^prepare failed: no such table: docs"),
        (lambda: s.set_payloads_bulk([(1, "{}", "")]), r"^prepare failed: no such table: docs"),
        (lambda: s.set_payload(1, "{}"), r"^set_payload failed: no such table: docs"),
        (lambda: s.delete_payload(1), r"^delete failed: no such table: docs"),
        (lambda: s.search_text("text"), r"^FTS prepare failed: no such table: docs_fts"),
        (lambda: s.filter_by_field("k", "v"), r"^filter prepare failed: no such table: docs"),
        (lambda: s.create_field_index("k"), r"^create index failed: no such table: main\.docs"),
    ]
    for call, message in cases:
        with pytest.raises(OSError, match=message):
            call()
    # An empty query never reaches the database.
    assert s.search_text("") == []
    # The failed bulk write did not leave its transaction open.
    with witness(db_path) as con:
        con.execute("BEGIN IMMEDIATE")
        con.execute("ROLLBACK")


def test_unreadable_rows_raise_instead_of_reading_as_absent(db_path):
    s = MetadataStore(db_path)
    s.set_payloads_bulk([(i, '{"k": "v"}', "some words") for i in range(50)])
    del s  # the last connection checkpoints the log into the file
    wreck_docs_table(db_path)
    s = MetadataStore(db_path)
    with pytest.raises(OSError, match=r"^query failed: database disk image is malformed$"):
        s.get_payload(1)
    with pytest.raises(OSError, match=r"^row failed: database disk image is malformed$"):
        s.all_doc_ids()
    with pytest.raises(OSError, match=r"^filter row failed: database disk image is malformed$"):
        s.filter_by_field("k", "v")


# Holds the write lock until its stdin closes, or for the seconds given after the path.
LOCK_HOLDER = textwrap.dedent("""
    import sqlite3, sys, time
    con = sqlite3.connect(sys.argv[1], isolation_level=None)
    con.execute("BEGIN IMMEDIATE")
    con.execute("INSERT INTO docs(doc_id, payload) VALUES (999, '{}')")
    print("locked", flush=True)
    if len(sys.argv) > 2:
        time.sleep(float(sys.argv[2]))
    else:
        sys.stdin.read()
    con.execute("ROLLBACK")
""")


def test_a_write_waits_out_the_busy_timeout_for_another_process(db_path):
    s = MetadataStore(db_path)
    s.set_payload(1, '{"before": true}', "before")
    holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, db_path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        for write, message in [
            (lambda: s.set_payload(2, "{}"), r"^set_payload failed: database is locked$"),
            (lambda: s.set_payloads_bulk([(3, "{}", "a"), (4, "{}", "b")]), r"^bulk insert failed: database is locked$"),
        ]:
            t0 = time.monotonic()
            with pytest.raises(OSError, match=message):
                write()
            waited = time.monotonic() - t0
            assert 4.5 <= waited < 30, waited
        # Readers are not blocked in write-ahead-log mode.
        assert s.get_payload(1) == '{"before": true}'
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    assert s.set_payloads_bulk([(3, "{}", "a")]) == 1
    assert s.all_doc_ids() == [1, 3]


def test_the_first_bulk_write_of_a_connection_waits_for_the_lock(db_path):
    # The store's first bulk write is its first use of the full-text table; it used to fail at
    # once ("database is locked") instead of waiting like every later one.
    MetadataStore(db_path)
    holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, db_path, "0.5"], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        s = MetadataStore(db_path)
        assert s.set_payloads_bulk([(3, "{}", "a"), (4, "{}", "b")]) == 2
    finally:
        holder.wait(timeout=30)
    assert s.all_doc_ids() == [3, 4] and s.search_text("b") == [4]
