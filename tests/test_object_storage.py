"""Results on object storage: the settings that name it, names that a glob
would misread, missing buckets, and several processes on one bucket. The
store behaviour itself runs on every backend through the `any_store`
fixture of the store tests."""

import multiprocessing
import os
import subprocess
import sys
import threading
import traceback
from pathlib import Path

import fsspec
import pytest
from upath import UPath

from conftest import identity, new_bucket, save
from vantorel import settings
from vantorel.core import simulation_storage as ss

WARNING = "Failed to parse simulation file: "


@pytest.mark.parametrize(
    "variable, value, expected",
    [
        ("VANTOREL_SIMULATIONS_DIR", "relative/sims", Path("relative/sims")),
        ("VANTOREL_SIMULATIONS_DIR", "/abs/sims", Path("/abs/sims")),
        ("VANTOREL_SIMULATIONS_DIR", "file:///tmp/a%20b", Path("/tmp/a b")),
        ("VANTOREL_SIMULATIONS_DIR", "file://localhost/tmp/x", Path("/tmp/x")),
        ("VANTOREL_SIMULATIONS_DIR", "s3://bucket/prefix", "s3://bucket/prefix"),
        ("VANTOREL_SIMULATIONS_DIR", "memory://root/sims", "memory://root/sims"),
        ("VANTOREL_BUILD_DIR", "s3://bucket/build", "s3://bucket/build/simulations"),
    ],
)
def test_settings_name_a_path_or_object_storage(monkeypatch, variable, value, expected):
    monkeypatch.delenv("VANTOREL_SIMULATIONS_DIR", raising=False)
    monkeypatch.setenv(variable, value)
    directory = settings.get_simulations_dir()
    if isinstance(expected, Path):
        assert type(directory) is type(Path()) and directory == expected
    else:
        assert isinstance(directory, UPath) and str(directory) == expected
        assert directory.storage_options == {"use_listings_cache": False}


def block_s3_backend(monkeypatch):
    monkeypatch.setitem(sys.modules, "s3fs", None)
    registry = sys.modules["fsspec.registry"]  # fsspec.registry is a mapping
    monkeypatch.delitem(registry._registry, "s3", raising=False)


@pytest.mark.parametrize(
    "value, block, error, words",
    [
        ("foo://x/y", None, ValueError, "fsspec knows no storage for foo://"),
        ("gs://bucket/x", None, ImportError, "pip install 'vantorel[remote]' gcsfs"),
        ("s3://bucket/x", block_s3_backend, ImportError, "pip install 'vantorel[s3]'"),
        (
            "s3://bucket/x",
            lambda m: m.setitem(sys.modules, "upath", None),
            ImportError,
            "pip install 'vantorel[s3]'",
        ),
        ("file://elsewhere/x", None, ValueError, "not on 'elsewhere'"),
    ],
)
def test_unreachable_urls_say_what_to_install(
    tmp_path, monkeypatch, logs, value, block, error, words
):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", value)
    if block:
        block(monkeypatch)
    for call in (save, ss.list_simulation_results):
        with pytest.raises(error, match=words.replace("[", r"\[")):
            call()
    assert list(tmp_path.iterdir()) == [] and logs() == []


def test_local_stores_never_import_the_remote_backends(tmp_path):
    code = (
        "import sys; from conftest import save; "
        "from vantorel.core import simulation_storage as ss; save(); "
        "ss.list_simulation_results(); ss.clear_simulation_results(); "
        "print(sorted({'upath', 'fsspec', 's3fs'} & set(sys.modules)))"
    )
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        check=True,
        cwd=Path(__file__).parent,
        env=os.environ | {"VANTOREL_SIMULATIONS_DIR": str(tmp_path)},
    )
    assert out.stdout.strip() == "[]"


def test_names_a_glob_would_misread_are_literal(any_store, logs):
    names = [("c[1]", "ty[p]e"), ("c1", "type"), ("a*b", "t?"), ("aXb", "tX")]
    records = {n: save(component_name=c, simulation_type=t) for n, (c, t) in enumerate(names)}
    for n, (component, kind) in enumerate(names):
        ident = identity(component_name=component, simulation_type=kind)
        assert ss.find_simulation_result(**ident) == records[n]
        assert ss.list_simulation_results(simulation_type=kind) == [records[n]]
    assert ss.delete_simulation_result(records[0].simulation_id) is True
    assert ss.clear_simulation_results(component_name="a*b") == 1
    left = sorted(r.component_name for r in ss.list_simulation_results())
    assert left == ["aXb", "c1"] and WARNING not in str(logs())


def test_damaged_objects_warn_in_listings_and_raise_in_loads(any_store, logs):
    good = save()
    bad = any_store / "fdtd" / "x_0123456789abcdef.json"
    bad.write_bytes(b'{"component_name": ')
    assert ss.list_simulation_results() == [good]
    assert logs()[1:] == [("WARNING", WARNING + str(bad))]
    with pytest.raises(ValueError):
        ss.load_simulation_result("0123456789abcdef")


def test_missing_bucket_is_named_never_created(s3_server, monkeypatch, logs):
    bucket = f"missing-{os.getpid()}"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", f"s3://{bucket}/sims")
    with pytest.raises(FileNotFoundError, match=f"'s3://{bucket}'"):
        save()
    assert not fsspec.filesystem("s3", skip_instance_cache=True).exists(bucket)
    assert ss.list_simulation_results() == [] and ss.clear_simulation_results() == 0
    assert ss.find_simulation_result(**identity()) is None and logs() == []


CREDENTIALS = {
    "AWS_ACCESS_KEY_ID": "vantorel-test-key",
    "AWS_SECRET_ACCESS_KEY": "vantorel-test-secret",
}


@pytest.mark.parametrize("planted", [False, True])
def test_credentials_stay_out_of_results_logs_and_errors(
    any_store, logs, caplog, monkeypatch, planted
):
    """Everything the package shows (result files, log lines, the text of
    the errors it raises, on success and failure paths) holds no credential
    of the environment; a leak planted through a setting shows that the
    test sees one."""
    for name, value in CREDENTIALS.items():  # as the S3 server's, on every store
        monkeypatch.setenv(name, value)
    if planted:
        monkeypatch.setattr(ss, "get_pdk_name", lambda: os.environ["AWS_SECRET_ACCESS_KEY"])
    record = save()
    (any_store / "fdtd" / "bad_0123456789abcdef.json").write_bytes(b"{")
    errors = []
    for call in (
        lambda: ss.find_simulation_result(**identity()),
        lambda: ss.load_simulation_result("0123456789abcdef"),
        ss.list_simulation_results,
    ):
        try:
            call()
        except Exception as error:
            errors.append(error)
    stored = b"".join(path.read_bytes() for path in any_store.rglob("*.json"))
    ss.delete_simulation_result(record.simulation_id)
    shown = stored.decode() + caplog.text
    shown += "".join("".join(traceback.format_exception(error)) for error in errors)
    # What the test reads is what the package showed.
    assert len(errors) == 1 and str(any_store) in caplog.text and record.simulation_id in shown
    leaked = [secret for secret in CREDENTIALS.values() if secret in shown]
    assert leaked == (["vantorel-test-secret"] if planted else [])


def other_process(connection):
    """Saves, then deletes, results one by one, waiting for the test to
    look after each step."""
    for n in range(3):
        record = save(component_name=f"p{n}")
        connection.send(("saved", record.simulation_id))
        connection.recv()
        ss.delete_simulation_result(record.simulation_id)
        connection.send(("deleted", record.simulation_id))
        connection.recv()
    connection.close()


@pytest.mark.parametrize("any_store", ["local", "s3"], indirect=True)
def test_another_process_is_seen_at_once(any_store):
    ours, theirs = multiprocessing.get_context("spawn").Pipe()
    child = multiprocessing.get_context("spawn").Process(target=other_process, args=(theirs,))
    child.start()
    try:
        for _ in range(6):
            step, simulation_id = ours.recv()
            found = ss.load_simulation_result(simulation_id)
            listed = [r.simulation_id for r in ss.list_simulation_results()]
            assert (found is not None) == (step == "saved")
            assert listed == ([simulation_id] if step == "saved" else [])
            ours.send("seen")
        child.join(60)
    finally:
        child.kill()
    assert child.exitcode == 0


def test_loads_racing_overwrites_read_one_version(any_store):
    contents = [{"blob": c * (1 << 20)} for c in "ab"]
    save(result=contents[0])
    stop = threading.Event()

    def overwrite():
        n = 0
        while not stop.is_set():
            n += 1
            save(result=contents[n % 2])

    writer = threading.Thread(target=overwrite)
    writer.start()
    try:
        loads = [ss.find_simulation_result(**identity()) for _ in range(25)]
    finally:
        stop.set()
        writer.join()
    assert all(record.result in contents for record in loads)


@pytest.mark.parametrize("any_store", ["s3"], indirect=True)
def test_requests_per_operation(any_store):
    """Each operation sends what its answer needs, whatever the store holds
    beyond it: one GET for a cache hit, one recursive listing for a lookup
    by ID, listings that fetch what they return, clears in one batch."""
    records = [
        save(component_name=c, simulation_type=t)
        for c in ("a", "b[1]")
        for t in ("fdtd", "eme", "t?")
    ]
    fs = any_store.fs
    fs.connect()
    sent = []
    fs.s3.meta.events.register(
        "before-send.s3", lambda event_name, **_: sent.append(event_name.split(".")[-1])
    )

    def requests(call):
        sent.clear()
        call()
        return sorted(sent)

    sid = records[4].simulation_id
    list_, get = "ListObjectsV2", "GetObject"
    assert requests(lambda: save(component_name="c")) == ["PutObject"]
    assert requests(
        lambda: ss.find_simulation_result(**identity(component_name="b[1]", simulation_type="eme"))
    ) == [get]
    assert requests(lambda: ss.find_simulation_result(**identity())) == [get, list_]
    assert requests(lambda: ss.load_simulation_result(sid)) == [get, list_]
    assert requests(ss.list_simulation_results) == [get] * 7 + [list_]
    assert requests(lambda: ss.list_simulation_results(simulation_type="t?")) == [get] * 2 + [list_]
    assert requests(lambda: ss.delete_simulation_result(sid)) == ["DeleteObject", list_]
    assert requests(ss.clear_simulation_results) == ["DeleteObjects"] + [get] * 6 + [list_]


def test_bucket_root_works_without_a_prefix(s3_server, monkeypatch):
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", f"s3://{new_bucket()}")
    record = save()
    assert ss.list_simulation_results() == [record]
    assert ss.clear_simulation_results() == 1
