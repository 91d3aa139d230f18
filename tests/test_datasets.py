"""Fleets of hives on Dask: read_hives gives one partition per hive with the rows of Hive.table, on the
threads of one process and on a local cluster of two worker processes alike, and kelpa export --scheduler
writes the export's rows as a Parquet dataset, a file per hive."""

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
    """The export through the cluster is the export: the same rows and columns, the same lines on
    standard error (a hive that cannot be read named and skipped, a damaged or dirty one noted) and
    the same exit status."""
    import pyarrow.parquet as pq
    image = pathlib.Path(fleet[0]).read_bytes()
    (small := tmp_path / "SMALL").write_bytes(bytes(512))
    (cut := tmp_path / "CUT").write_bytes(image[:6000])
    (dirty := tmp_path / "DIRTY").write_bytes(hivegen.base_block(primary_sequence=2, hive_bins_data_size=len(image) - 4096)
                                              + image[4096:])
    hives = [fleet[0], str(small), str(cut), str(dirty), fleet[1]]
    # Under the sanitizer build, the Dask client's threads leave interpreter objects behind at
    # exit: the command's own leak check is off (this process's covers kelpa's code).
    env = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    export = [KELPA, "export", "-f", "parquet", "-j", "1", *hives, "-o"]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster):
        assert rows(datasets.read_hives(fleet, "keys").compute()) == expected(fleet, "keys")
        done = subprocess.run([*export, str(tmp_path / "out"), "--scheduler", cluster.scheduler_address],
                              capture_output=True, timeout=300, env=env)
    single = subprocess.run([*export, str(tmp_path / "single.parquet")], capture_output=True, timeout=300)
    assert (done.returncode, done.stderr.decode().splitlines()) == (1, [
        f"kelpa: {small}: Hive too small: 512 bytes (minimum: 4096 bytes)",
        f"kelpa: {cut}: 2 problems reading the hive, the first at offset 0x770: Invalid format: Hive bins data size "
        "0x3000 runs past the end of the file: 0x770 bytes of bins (--problems lists them all)",
        f"kelpa: {dirty}: the hive is dirty and its logs were not found: recent changes may be missing"])
    assert (single.returncode, single.stderr) == (done.returncode, done.stderr)
    assert sorted(os.listdir(tmp_path / "out")) == [f"part.00000{i}.parquet" for i in (0, 2, 3, 4)]
    dataset, whole = pq.read_table(tmp_path / "out"), pq.read_table(tmp_path / "single.parquet")
    assert dataset.schema == whole.schema and dataset.to_pylist() == whole.to_pylist()
