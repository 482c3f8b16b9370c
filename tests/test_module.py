import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import varnelo_shard_engine as vse
from varnelo_shard_engine import ShardIndex


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("varnelo_shard_engine")
    try:
        again = importlib.import_module("varnelo_shard_engine")
        assert again is first
    finally:
        sys.modules["varnelo_shard_engine"] = first
    assert vse.__doc__ == ""
    assert vse.__all__ == ["ShardIndex", "MetadataStore", "rroq158_score_batch", "rroq4_riem_score_batch"]
    public = [n for n in vars(vse) if not n.startswith("__")]
    assert public == vse.__all__


def test_second_interpreter_is_refused():
    code = textwrap.dedent(
        """
        import _testcapi, os, sys
        import varnelo_shard_engine
        r, w = os.pipe()
        rc = _testcapi.run_in_subinterp(
            "import os\\n"
            "try:\\n"
            "    import varnelo_shard_engine\\n"
            "    msg = b'imported'\\n"
            "except ImportError as e:\\n"
            "    msg = ('ImportError: ' + str(e)).encode()\\n"
            f"os.write({w}, msg)\\n"
        )
        os.close(w)
        print(os.read(r, 1000).decode())
        """
    )
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("no _testcapi in this interpreter")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("ImportError: ")
    assert "sub-interpreters" in out


def test_class_properties(tmp_path):
    assert ShardIndex.__name__ == "ShardIndex"
    assert str(inspect.signature(ShardIndex)) == "(base_dir, dim, gpu_score_fn=None)"
    assert ShardIndex.__doc__ == (
        "Native shard engine with lock-free reads and WAL-backed writes.\n"
        "\n"
        "Readers obtain an `Arc<ShardState>` + `Arc<HashMap<\u2026, Arc<MmapShard>>>`\n"
        "snapshot via `ArcSwap`, zero contention with writers.  Writers hold the\n"
        "`Mutex<WriterInner>` only for WAL append + state swap."
    )
    with pytest.raises(TypeError):
        type("Sub", (ShardIndex,), {})
    ix = ShardIndex(str(tmp_path), 2)
    with pytest.raises(AttributeError):
        ix.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(ix)
    ix.close()


# name -> (text signature without $self, docstring)
METHODS = {
    "insert": ("(doc_id, embeddings, payload=None)", "Insert a document with its multi-vector embeddings."),
    "delete": ("(doc_id)", "Delete a document by ID."),
    "update_payload": ("(doc_id, payload)", "Update the JSON payload for a document."),
    "search": (
        "(query, k=10)",
        "Search for the top-k documents most similar to a query.\n\n"
        "Returns (doc_ids, scores) \u2014 each as a 1-D numpy array.",
    ),
    "proxy_score": (
        "(query, candidate_ids=None, n_full=4096)",
        "SIMD-accelerated centroid proxy scoring.\n\n"
        "Computes `max_i(dot(query_token_i, doc_mean_d))` for each candidate\n"
        "and returns the top-n doc IDs by proxy score.",
    ),
    "set_doc_means": (
        "(means, doc_ids)",
        "Set the mean-pooled document embeddings for proxy scoring.\n\n"
        "`means` shape: `(n_docs, dim)`, `doc_ids` length: `n_docs`.",
    ),
    "register_shard_docs": (
        "(doc_ids, shard_ids, row_starts, row_ends)",
        "Register documents that already exist in shard files.\n\n"
        "Used when loading a pre-built index (e.g. from ShardSegmentManager).",
    ),
    "load_merged": (
        "(dir)",
        "Load merged flat mmap files for zero-copy document access.\n\n"
        "`dir` should contain merged_embeddings.bin, merged_offsets.bin,\n"
        "merged_doc_map.bin, and optionally merged_codes.bin.",
    ),
    "score_candidates_exact": (
        "(query, candidate_ids, k=10)",
        "Fused exact MaxSim scoring over merged mmap \u2014 no Python staging.\n\n"
        "Reads FP16 embeddings directly from the merged mmap, converts to f32\n"
        "on the fly, computes MaxSim per candidate, and returns top-k results.",
    ),
    "sync": ("()", "Flush the WAL and sync to disk."),
    "doc_ids": ("()", "Get all document IDs currently in the index (sorted)."),
    "contains": ("(doc_id)", "Check if a document exists."),
    "get_payload": ("(doc_id)", "Get the payload JSON for a document, or None."),
    "close": ("()", "Close the index, flushing WAL."),
}
PROPERTIES = {
    "doc_count": "Number of documents in the index.",
    "total_vectors": "Total vectors across all documents.",
    "dim": "Embedding dimension.",
}


def test_method_table_docstrings_and_order():
    methods = [n for n, v in vars(ShardIndex).items() if callable(v) and not n.startswith("__")]
    assert methods == list(METHODS)
    for name, (sig, doc) in METHODS.items():
        fn = getattr(ShardIndex, name)
        params = ", ".join(["$self"] + ([sig[1:-1]] if sig != "()" else []))
        assert fn.__text_signature__ == f"({params})", name
        assert fn.__doc__ == doc, name
    for name, doc in PROPERTIES.items():
        assert getattr(ShardIndex, name).__doc__ == doc


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ix: ix.contains(), "ShardIndex.contains() missing 1 required positional argument: 'doc_id'"),
        (
            lambda ix: ix.register_shard_docs([]),
            "ShardIndex.register_shard_docs() missing 3 required positional arguments: "
            "'shard_ids', 'row_starts', and 'row_ends'",
        ),
        (
            lambda ix: ix.insert(embeddings=None),
            "ShardIndex.insert() missing 1 required positional argument: 'doc_id'",
        ),
        (lambda ix: ix.contains(1, 2), "ShardIndex.contains() takes 1 positional argument but 2 were given"),
        (lambda ix: ix.sync(1), "ShardIndex.sync() takes 0 positional arguments but 1 was given"),
        (
            lambda ix: ix.insert(1, 2, 3, 4),
            "ShardIndex.insert() takes from 2 to 3 positional arguments but 4 were given",
        ),
        (lambda ix: ix.contains(id=1), "ShardIndex.contains() got an unexpected keyword argument 'id'"),
        (lambda ix: ix.contains(1, doc_id=1), "ShardIndex.contains() got multiple values for argument 'doc_id'"),
        (lambda ix: ShardIndex(), "ShardIndex.__new__() missing 2 required positional arguments: 'base_dir' and 'dim'"),
        (lambda ix: ShardIndex("x", 1, None, 2), "ShardIndex.__new__() takes from 2 to 3 positional arguments but 4 were given"),
    ],
)
def test_argument_binding_errors(index, call, message):
    with pytest.raises(TypeError) as e:
        call(index)
    assert str(e.value) == message
