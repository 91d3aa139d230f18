"""Fleets of hives on Dask: read_hives gives one partition per hive with the rows of Hive.table, on the
threads of one process and on a local cluster of two worker processes alike, and kelpa export --scheduler
writes them as a partitioned Parquet dataset."""

import os
import pathlib
import subprocess
import sys

import pytest

import hivegen
import kelpa
from conftest import error, outcome
from hivegen import REG_DWORD, REG_SZ, Key, Value

pa = pytest.importorskip("pyarrow")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
from kelpa_tools import datasets  # noqa: E402 - needs pyarrow

KELPA = str(pathlib.Path(sys.executable).with_name("kelpa"))


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    top = tmp_path_factory.mktemp("fleet")
    paths = []
    for n in range(3):
        keys = [Key(f"k{n}.{i}", values=[Value("v", REG_DWORD, hivegen.dword(i)), Value("", REG_SZ, hivegen.sz(f"h{n}"))])
                for i in range(50)]
        (path := top / f"HIVE{n}").write_bytes(hivegen.build_tree(Key("ROOT", subkeys=keys)))
        paths.append(str(path))
    return paths


def expected(paths, kind):
    return pa.concat_tables(datasets.hive_table(p, kind) for p in paths).to_pylist()


def rows(frame):
    return pa.Table.from_pandas(frame, preserve_index=False).to_pylist()


def test_read_hives_one_partition_per_hive(fleet):
    frame = datasets.read_hives(fleet, "values")
    assert frame.npartitions == 3 and list(frame.columns) == ["hive"] + pa.schema(
        kelpa.Hive.from_path(fleet[0]).table("values")).names
    assert rows(frame.compute(scheduler="threads")) == expected(fleet, "values")
    assert [outcome(lambda: datasets.read_hives(fleet, "rows")), outcome(lambda: datasets.read_hives([], "keys"))] == [
        error("kind must be 'keys' or 'values', not 'rows'"), error("no hives to read")]


def test_local_cluster_and_export(fleet, tmp_path):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster):
        assert rows(datasets.read_hives(fleet, "keys").compute()) == expected(fleet, "keys")
        # Under the sanitizer build, the Dask client's threads leave interpreter objects behind at
        # exit: the command's own leak check is off (this process's covers kelpa's code).
        env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
        done = subprocess.run([KELPA, "export", "-f", "parquet", "--scheduler", cluster.scheduler_address,
                               "-o", str(tmp_path / "out"), *fleet], capture_output=True, timeout=300, env=env)
    assert (done.returncode, done.stderr) == (0, b"")
    import pyarrow.parquet as pq
    for kind in datasets.KINDS:
        table = pq.read_table(tmp_path / "out" / kind)
        assert sorted(table.to_pylist(), key=lambda r: r["hive"]) == expected(fleet, kind)
