"""MetadataStore against Python's sqlite3 running the same SQL on the same kind of database.

Both sides get a database file of their own in one temporary directory, with the same pragmas,
schema, triggers and data, and run the same statements: the bulk upsert inside one deferred
transaction, the FTS5 search, and the JSON field filter with and without a field index. The
baseline is what a user would write with sqlite3 to get the same Python result (a list of ids).
With a field index the filter is set against two baselines: the store's own statement without a
field index (kFieldFilter in src/metadata/store.cpp), which binds the JSON path (so SQLite cannot
match it to the index and scans the table), and the statement a sqlite3 user would write with the
path in its text, which SQLite answers from the index. Each workload runs several rounds, engine and baseline alternating; the best round counts.

Beside the ratios, where a rate bound applies, the share of this machine's limit measured by
bench/probe.cpp in the same run: the bytes the database holds after the bulk write against durable
file writes, and the payload bytes a filter without an index scans against memcpy (index lookups
and full-text ranking have no such bound).

    .venv/bin/python bench/bench_metadata.py [--docs 100000] [--rounds 3] [--read-rounds 7]
"""

import argparse
import os
import random
import sqlite3
import sys
import tempfile
import time
import warnings

sys.path.insert(0, os.path.dirname(__file__))
from benchlib import percent, probe  # noqa: E402

from varnelo_shard_engine import MetadataStore  # noqa: E402

PRAGMAS = "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-64000;"
SCHEMA = """
CREATE TABLE IF NOT EXISTS docs (
    doc_id    INTEGER PRIMARY KEY,
    payload   TEXT NOT NULL DEFAULT '{}',
    text_content TEXT NOT NULL DEFAULT '',
    updated_at INTEGER NOT NULL DEFAULT (strftime('%s','now'))
);

CREATE INDEX IF NOT EXISTS idx_docs_updated ON docs(updated_at);
"""
FULL_TEXT = """
CREATE VIRTUAL TABLE IF NOT EXISTS docs_fts USING fts5(
    text_content,
    content=docs,
    content_rowid=doc_id,
    tokenize='porter unicode61'
);

CREATE TRIGGER IF NOT EXISTS docs_ai AFTER INSERT ON docs BEGIN
    INSERT INTO docs_fts(rowid, text_content) VALUES (new.doc_id, new.text_content);
END;
CREATE TRIGGER IF NOT EXISTS docs_ad AFTER DELETE ON docs BEGIN
    INSERT INTO docs_fts(docs_fts, rowid, text_content) VALUES('delete', old.doc_id, old.text_content);
END;
CREATE TRIGGER IF NOT EXISTS docs_au AFTER UPDATE ON docs BEGIN
    INSERT INTO docs_fts(docs_fts, rowid, text_content) VALUES('delete', old.doc_id, old.text_content);
    INSERT INTO docs_fts(rowid, text_content) VALUES (new.doc_id, new.text_content);
END;
"""
BULK_UPSERT = (
    "INSERT INTO docs(doc_id, payload, text_content, updated_at) VALUES(?1, ?2, ?3, strftime('%s','now'))\n"
    "                     ON CONFLICT(doc_id) DO UPDATE SET payload=excluded.payload, "
    "text_content=excluded.text_content, updated_at=excluded.updated_at"
)
TEXT_SEARCH = "SELECT rowid FROM docs_fts WHERE docs_fts MATCH ?1 ORDER BY rank LIMIT ?2"
FIELD_FILTER = "SELECT doc_id FROM docs WHERE json_extract(payload, ?1) = ?2 LIMIT ?3"


def literal_filter(json_path):
    """The field filter with the JSON path in its text, as a sqlite3 user writes it."""
    quoted = json_path.replace("'", "''")
    return f"SELECT doc_id FROM docs WHERE json_extract(payload, '{quoted}') = ? LIMIT ?"


FIELD_INDEX = "CREATE INDEX IF NOT EXISTS idx_json_category ON docs(json_extract(payload, '$.category'))"


def corpus(n_docs, seed=0):
    rng = random.Random(seed)
    syllables = ["ka", "lo", "mi", "ne", "ru", "sa", "ti", "vo", "ze", "pa", "qu", "ri", "do", "fe", "gu"]
    vocab = sorted({"".join(rng.choices(syllables, k=rng.randint(2, 4))) for _ in range(8000)})
    # Zipf-like word frequencies, as in real text.
    weights = [1.0 / (rank + 1) for rank in range(len(vocab))]
    colors = ["red", "green", "blue", "black", "white", "amber", "violet", "teal"]
    items = []
    for doc_id in range(n_docs):
        words = rng.choices(vocab, weights, k=rng.randint(20, 60))
        payload = (
            f'{{"title": "document {doc_id}", "category": "cat-{rng.randrange(1000)}", '
            f'"color": "{rng.choice(colors)}", "n": {doc_id}, "tags": ["{words[0]}", "{words[1]}"]}}'
        )
        items.append((doc_id, payload, " ".join(words)))
    # Selective searches, as users type them: words from the whole vocabulary (most of them rare
    # under the Zipf weights), pairs, phrases and prefixes.
    selective = [rng.choice(vocab) for _ in range(400)]
    selective += [f"{rng.choice(vocab[:1000])} {rng.choice(vocab)}" for _ in range(100)]
    selective += [f'"{a} {b}"' for a, b in (rng.sample(vocab[:100], 2) for _ in range(50))]
    selective += [f"{rng.choice(vocab[2000:])}*" for _ in range(50)]
    # Broad searches: the most frequent words, each matching a large part of the corpus, so that
    # ranking all matches by BM25 inside SQLite dominates.
    broad = [rng.choice(vocab[:50]) for _ in range(40)]
    queries = {"selective": selective, "broad": broad}
    filters = [("category", f"cat-{rng.randrange(1000)}") for _ in range(20)]
    return items, queries, filters


def baseline_connection(path):
    con = sqlite3.connect(path, isolation_level=None)
    con.execute("PRAGMA busy_timeout=5000")
    con.executescript(PRAGMAS)
    con.executescript(SCHEMA)
    con.executescript(FULL_TEXT)
    return con


def best_of(rounds, engine, baseline):
    """Alternates the two sides; returns each side's best time in seconds and its last result."""
    t_engine, t_base = float("inf"), float("inf")
    r_engine = r_base = None
    for _ in range(rounds):
        t0 = time.perf_counter()
        r_engine = engine()
        t_engine = min(t_engine, time.perf_counter() - t0)
        t0 = time.perf_counter()
        r_base = baseline()
        t_base = min(t_base, time.perf_counter() - t0)
    return t_engine, t_base, r_engine, r_base


def main():
    # The baseline runs the store's own SQL, whose "?1" placeholders sqlite3 would rather see as "?".
    warnings.filterwarnings("ignore", category=DeprecationWarning, module=__name__)
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=3, help="rounds of the bulk write")
    ap.add_argument("--read-rounds", type=int, default=7, help="rounds of each read workload")
    args = ap.parse_args()

    items, queries, filters = corpus(args.docs)
    rows = []  # (workload, engine s, baseline s, bytes bounded by the limit or None, limit name)

    with tempfile.TemporaryDirectory(prefix="vse-bench-metadata-") as tmp:
        limits = probe(file_dir=tmp)
        # Bulk upsert: every round writes all items into a new, empty database file; opening and
        # closing are timed with it on both sides.
        def fresh(name):
            path = os.path.join(tmp, name)
            for suffix in ("", "-wal", "-shm"):
                if os.path.exists(path + suffix):
                    os.remove(path + suffix)
            return path

        def engine_bulk():
            store = MetadataStore(fresh("engine-bulk.db"))
            n = store.set_payloads_bulk(items)
            del store
            return n

        def baseline_bulk():
            con = baseline_connection(fresh("baseline-bulk.db"))
            con.execute("BEGIN DEFERRED")
            con.executemany(BULK_UPSERT, items)
            con.execute("COMMIT")
            con.close()
            return len(items)

        te, tb, re_, rb = best_of(args.rounds, engine_bulk, baseline_bulk)
        assert re_ == rb == len(items)
        db_bytes = sum(os.path.getsize(os.path.join(tmp, f)) for f in os.listdir(tmp) if f.startswith("engine-bulk.db"))
        rows.append((f"set_payloads_bulk, {len(items)} payloads with text", te, tb, db_bytes, "file_write"))

        # Reads run against one engine database and one baseline database with the same rows.
        store = MetadataStore(os.path.join(tmp, "engine-read.db"))
        store.set_payloads_bulk(items)
        con = baseline_connection(os.path.join(tmp, "baseline-read.db"))
        con.execute("BEGIN DEFERRED")
        con.executemany(BULK_UPSERT, items)
        con.execute("COMMIT")

        for kind, qs in queries.items():

            def engine_search(qs=qs):
                return [store.search_text(q, 100) for q in qs]

            def baseline_search(qs=qs):
                return [[r[0] for r in con.execute(TEXT_SEARCH, (q, 100))] for q in qs]

            te, tb, re_, rb = best_of(args.read_rounds, engine_search, baseline_search)
            assert re_ == rb
            rows.append((f"search_text, {len(qs)} {kind} queries, limit 100", te, tb, None, None))

        def engine_filter():
            return [store.filter_by_field(f, v) for f, v in filters]

        def baseline_filter():
            return [[r[0] for r in con.execute(FIELD_FILTER, (f"$.{f}", v, 10000))] for f, v in filters]

        scanned = len(filters) * sum(len(p) for _, p, _ in items)
        te, tb, re_, rb = best_of(args.read_rounds, engine_filter, baseline_filter)
        assert re_ == rb and any(re_)
        rows.append((f"filter_by_field, {len(filters)} filters, no field index", te, tb, scanned, "memcpy"))

        def baseline_literal_filter():
            return [[r[0] for r in con.execute(literal_filter(f"$.{f}"), (v, 10000))] for f, v in filters]

        store.create_field_index("category")
        con.execute(FIELD_INDEX)
        plan = con.execute("EXPLAIN QUERY PLAN " + literal_filter("$.category"), ("x", 1)).fetchall()[0][-1]
        te, tb, re_, rb = best_of(args.read_rounds, engine_filter, baseline_filter)
        assert re_ == rb
        rows.append((f"filter_by_field, {len(filters)} filters, field index, vs the store's statement "
                     "(path bound: table scan)", te, tb, None, None))
        te, tb, re_, rb = best_of(args.read_rounds, engine_filter, baseline_literal_filter)
        assert re_ == rb
        rows.append((f"filter_by_field, {len(filters)} filters, field index, vs the path in the statement "
                     f"({plan})", te, tb, None, None))
        con.close()
        del store

    print(f"MetadataStore vs sqlite3 {sqlite3.sqlite_version}, {args.docs} documents "
          f"(best of {args.rounds} write and {args.read_rounds} read rounds)\n")
    print("| workload | engine (ms) | sqlite3 (ms) | ratio (sqlite3 / engine) | engine % of limit | sqlite3 % of limit |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, te, tb, nbytes, limit_name in rows:
        if nbytes is None:
            pct_e = pct_b = "n/a"
        else:
            limit = getattr(limits, limit_name)
            label = "file write" if limit_name == "file_write" else limit_name
            pct_e = f"{percent(nbytes / te / 1e9, limit)} of {label}"
            pct_b = percent(nbytes / tb / 1e9, limit)
        print(f"| {name} | {te * 1e3:.2f} | {tb * 1e3:.2f} | {tb / te:.2f}x | {pct_e} | {pct_b} |")
    print()
    print(limits.report())


if __name__ == "__main__":
    main()
