"""kifuzan.dask.convert_bag on a two-process local Dask cluster."""

from __future__ import annotations

import pytest

import kifuzan
from test_batch import BAD, make_tree, outputs

pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")

from kifuzan.dask import convert_bag  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("compress", [None, "gzip"])
def test_bag_matches_single_process(client, tmp_path, compress):
    src, _ = make_tree(tmp_path)
    local = kifuzan.convert_many(src, tmp_path / "local", workers=1, compress=compress)
    with distributed.get_task_stream(client) as tasks:
        summary = convert_bag([src], tmp_path / "dask", compress=compress)
    assert isinstance(summary, kifuzan.Summary)
    assert (summary.converted, summary.skipped, summary.failed) == (local.converted, 0, len(BAD))
    assert sorted(summary.failures, key=lambda f: f.path) == sorted(local.failures, key=lambda f: f.path)
    assert outputs(tmp_path / "dask") == outputs(tmp_path / "local")
    assert len({t["worker"] for t in tasks.data}) == 2  # both worker processes took part

    again = convert_bag(src, tmp_path / "dask", compress=compress)
    assert (again.converted, again.skipped) == (0, local.converted)
    forced = convert_bag(src, tmp_path / "dask", compress=compress, force=True)
    assert (forced.converted, forced.skipped) == (local.converted, 0)


def test_bag_reads_a_database_on_the_workers(client, tmp_path, monkeypatch):
    from test_archives import XMLS, make_phoenix

    if not XMLS:
        pytest.skip("shared mjlog records not available")
    db = tmp_path / "p.db"
    make_phoenix(db)
    local = kifuzan.convert_many(db, tmp_path / "local", workers=1)

    # The client lists ids only: reading a record there would fail the run.
    def no_records(*args, **kwargs):
        raise AssertionError("the client read records")

    monkeypatch.setattr("kifuzan.databases.read_rows", no_records)
    summary = convert_bag(db, tmp_path / "dask")
    assert (summary.converted, summary.failed, summary.without_record) == (local.converted, local.failed, local.without_record)
    assert outputs(tmp_path / "dask") == outputs(tmp_path / "local")
