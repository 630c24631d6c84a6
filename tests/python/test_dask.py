"""velvin.dask on a real distributed cluster: two worker processes on the loopback interface."""
import json
import os
import subprocess
import sys

import pytest

db = pytest.importorskip("dask.bag")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import velvin  # noqa: E402
import velvin.dask  # noqa: E402
import velvin_native  # noqa: E402

# Valid, repairable and (in the stricter modes) unrepairable texts, str and bytes.
TEXTS = ['{"a": 1}', "{a: [1, 2", b"Sure: ```json\n{'x': True}\n```", "}}}}", "null", '"\\u00e9"',
         "[[1, 2], [3, 4]]", b"\xff[1,", "[1, 2] and more", "{'k': None,}", "]", '{"n": 1.5e300}']


@pytest.fixture(scope="module")
def client():
    # Spawned workers start with this process's sys.path, which points at the package and the
    # built extension under test; test_workers_run_the_velvin_under_test checks that they do.
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def _where():
    import velvin as v
    import velvin_native as n
    return v.__file__, n.__file__


def test_workers_run_the_velvin_under_test(client):
    assert set(client.run(_where).values()) == {(velvin.__file__, velvin_native.__file__)}


@pytest.mark.parametrize("options, some_statuses", [({}, {"strict_ok", "repaired", "partial"}),
                                                    ({"mode": "strict_only"}, {"strict_ok", "failed"})])
def test_parse_bag_records_are_parse_of_each_text(client, options, some_statuses):
    # Partitions of ~400 texts, each its own value, so that a partition is parsed in several
    # slices and any text out of place shows.
    texts = TEXTS + [f"[{i}, " for i in range(800)]
    records = velvin.dask.parse_bag(db.from_sequence(texts, npartitions=2), **options).compute()
    expected = []
    for text in texts:
        r = velvin.parse(text, **options)
        failed = r.status == "failed"
        expected.append({"status": r.status, "value": r.value, "confidence": None if failed else r.confidence,
                         "repairs": len(r.repairs)})
    assert records == expected
    assert {r["status"] for r in records} >= some_statuses


def test_parse_series_frame_is_aligned_with_the_column(client):
    index = pd.Index([f"row{i:03}" for i in range(0, 7 * len(TEXTS), 7)])
    column = dd.from_pandas(pd.Series(TEXTS, index=index, dtype=object), npartitions=3)
    lazy = velvin.dask.parse_series(column, mode="fast_repair")  # fails what the heuristics cannot mend
    frame = lazy.compute()
    assert list(lazy.columns) == list(frame.columns) == ["value", "json", "status", "confidence"]
    assert all(dtype == object for dtype in list(lazy.dtypes) + list(frame.dtypes))
    assert list(frame.index) == list(index)
    for text, (value, compact, status, confidence) in zip(TEXTS, frame.itertuples(index=False)):
        r = velvin.parse(text, mode="fast_repair")
        assert (value, status) == (r.value, r.status)
        if status == "failed":
            assert compact is None and confidence is None
        else:
            assert json.loads(compact) == value and confidence == r.confidence
    assert {"strict_ok", "repaired", "failed"} <= set(frame["status"])


def test_a_missing_text_in_a_column_names_its_row(client):
    column = dd.from_pandas(pd.Series(["[1]", None, "[2]"], index=[10, 11, 12]), npartitions=1)
    with pytest.raises(TypeError, match="index 11"):
        velvin.dask.parse_series(column).compute()


@pytest.mark.parametrize("call", [
    lambda: velvin.dask.parse_bag(db.from_sequence(TEXTS), top_kk=1),
    lambda: velvin.dask.parse_bag(db.from_sequence(TEXTS), top_k="three"),
    lambda: velvin.dask.parse_series(dd.from_pandas(pd.Series(TEXTS), npartitions=2), beam_widht=4),
    lambda: velvin.dask.parse_bag(TEXTS),
    lambda: velvin.dask.parse_series(dd.from_pandas(pd.DataFrame({"t": TEXTS}), npartitions=2)),
])
def test_bad_arguments_raise_when_the_graph_is_built(call):
    with pytest.raises(TypeError):
        call()


def test_import_velvin_does_not_import_dask():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    code = "import sys, velvin; print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'pandas')))"
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout.strip()) == (0, "[]"), r.stderr
