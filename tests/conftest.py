"""Shared fixtures: a private simulations directory (on a local disk, or on
each backend), an S3-protocol server, sample identities and a small sweep,
the log lines of the package logger, and the command line run in this
process."""

import logging
import os
import pathlib
import random
import signal
import threading
import time
import uuid
from html import escape
from http import HTTPStatus

import pytest

from vantorel import settings
from vantorel.core import simulation_storage as ss
from vantorel.models import SimulationHyperparameters


def identity(**overrides):
    """Identity keywords of a sample simulation."""
    fields = dict(
        component_name="mmi1x2",
        factory_name="mmi1x2_factory",
        component_settings={"width": 0.5, "length": 10},
        model_parameters={"n_eff": 2.4},
        hyperparameters=SimulationHyperparameters(),
        simulation_type="fdtd",
    )
    fields.update(overrides)
    return fields


def save(**overrides):
    """Saves a sample result; keywords override identity or output fields."""
    fields = identity()
    fields.update(result={"s21": [0.9, 0.8]}, wavelengths=[1.5, 1.6], execution_time_seconds=1.25)
    fields.update(overrides)
    return ss.save_simulation_result(**fields)


def file_of(store, record):
    """Where a save puts the file of `record` in `store`."""
    return store / record.simulation_type / f"{record.component_name}_{record.simulation_id}.json"


SWEEP_WAVELENGTHS = [1.5, 1.52, 1.54, 1.56]


def ring(radius, gap, **overrides):
    """A ring of a small sweep: transmission falls with radius, rises with gap."""
    level = 1 - radius / 100 + gap
    return save(
        **{
            "component_name": "ring",
            "factory_name": "ring_single",
            "component_settings": {"radius": radius, "gap": gap, "ports": ["o1", "o2"]},
            "model_parameters": {"cross_section": {"width": 0.45}},
            "result": {
                "o1@0,o2@0": [level - 0.1 * i for i in range(4)],
                "s(1,2)": {"real": [level] * 4, "imag": [0.5, 0.0, -0.5, 1.0]},
                "loss_db": radius / 10,
                "note": "fine",
            },
            "wavelengths": SWEEP_WAVELENGTHS,
            **overrides,
        }
    )


def by_settings(records):
    """(radius, gap) -> ID of the rings of a sweep."""
    return {
        (r.component_settings["radius"], r.component_settings["gap"]): r.simulation_id
        for r in records
    }


def invoke(*args, **kwargs):
    """Runs ``vantorel ARGS...`` in this process (Typer's runner)."""
    from typer.testing import CliRunner

    from vantorel.cli import app

    return CliRunner().invoke(app.app, [str(arg) for arg in args], **kwargs)


@pytest.fixture
def store(tmp_path, monkeypatch):
    """An empty simulations directory (not yet created) for this test."""
    directory = tmp_path / "simulations"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", str(directory))
    return directory


def backdate(monkeypatch, ages):
    """Local files named in `ages` (name -> seconds) pass for that old in
    listings: a file's age counts from its last change (ctime), which no
    call sets back."""
    from dataclasses import replace

    from vantorel.core import file_stores

    stored = file_stores._stored

    def aged(entry, directory, type_name):
        file = stored(entry, directory, type_name)
        if file is None or entry.name not in ages:
            return file
        return replace(file, modified=time.time() - ages[entry.name])

    monkeypatch.setattr(file_stores, "_stored", aged)


@pytest.fixture
def sweep(store):
    """Rings of radius 10, 20 by gap 0.2, 0.3, as listed (newest first)."""
    for radius in (10, 20):
        for gap in (0.2, 0.3):
            ring(radius, gap)
    return ss.list_simulation_results()


class S3Faults:
    """Faults that the suite's S3 server injects, for one test (the
    `s3_faults` fixture; every rule and hold ends with the test).

    The server is moto's application behind a small WSGI layer (`FaultLayer`)
    that sees every request before moto does. A rule matches a request by
    its HTTP method, a substring of its decoded path ("/<bucket>/<key>": the
    suite's client addresses buckets by path) and, optionally, its query
    string exactly (S3's batched delete is `fail("POST", query="delete")`):

        with s3_faults.fail("GET", "fdtd/a_"):        # 503 ServiceUnavailable
            ...                                        # while the block runs
        s3_faults.fail("PUT", "x.json", times=1)       # the next one only
        s3_faults.fail("GET", "", status=403, code="AccessDenied")
        held = s3_faults.hold("GET", "fdtd/b_")        # one request, held
        ...start the call in a thread; held.wait(); act; held.release()

    `fail` answers with an S3 error document (status and code as given: 503
    SlowDown or ServiceUnavailable, 500 InternalError, 403 AccessDenied...)
    instead of passing the request on, `times` times or until the rule is
    stopped (`rule.stop()`, or the end of its `with` block); `rule.hits`
    counts what it answered. `hold` keeps the first matching request waiting
    until `release()` (never longer than HOLD_SECONDS: a forgotten hold
    slows a test, it never hangs it), and then passes it on: a race the test
    makes certain. `requests` lists (method, path, query) of every request
    the server received since the test began: a count of what an operation
    sent, whichever client sent it.

    The client's retries are kept short for the session (AWS_MAX_ATTEMPTS=2:
    one retry after a random pause of up to a second), so a request that
    fails for good costs under a second, and a fault that answers once is
    retried away. s3fs itself retries a "SlowDown" five more times (about
    two seconds): prefer ServiceUnavailable unless throttling is the point.
    """

    HOLD_SECONDS = 10.0

    class Rule:
        def __init__(self, method, key, query, times):
            self.method, self.key, self.query, self.times = method, key, query, times
            self.hits = 0
            self.active = True

        def matches(self, method, path, query):
            return (
                self.active
                and method == self.method
                and self.key in path
                and (self.query is None or query == self.query)
            )

        def take(self):
            self.hits += 1
            if self.times is not None and self.hits >= self.times:
                self.active = False

        def stop(self):
            self.active = False

        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            self.stop()

    class Failure(Rule):
        def __init__(self, method, key, query, times, status, code):
            super().__init__(method, key, query, times)
            self.status, self.code = status, code

    class Hold(Rule):
        def __init__(self, method, key, query):
            super().__init__(method, key, query, 1)
            self.arrived = threading.Event()
            self.released = threading.Event()

        def wait(self, timeout=10.0):
            """Waits until the held request has arrived."""
            if not self.arrived.wait(timeout):
                raise AssertionError(f"no {self.method} request for {self.key!r} arrived")

        def release(self):
            self.released.set()

        def stop(self):
            super().stop()
            self.released.set()

    def __init__(self):
        self._lock = threading.Lock()
        self._rules = []
        self.requests = []

    def fail(
        self, method, key="", *, status=503, code="ServiceUnavailable", times=None, query=None
    ):
        return self._add(self.Failure(method, key, query, times, status, code))

    def hold(self, method, key="", *, query=None):
        return self._add(self.Hold(method, key, query))

    def _add(self, rule):
        with self._lock:
            self._rules.append(rule)
        return rule

    def reset(self):
        with self._lock:
            rules, self._rules = self._rules, []
            self.requests = []
        for rule in rules:
            rule.stop()

    def rule_for(self, method, path, query):
        """The rule that takes this request, if any (counted as a hit)."""
        with self._lock:
            self.requests.append((method, path, query))
            for rule in self._rules:
                if rule.matches(method, path, query):
                    rule.take()
                    return rule
        return None


class FaultLayer:
    """WSGI middleware in front of moto's application: what `S3Faults`
    says to do with each request."""

    def __init__(self, app, faults):
        self.app, self.faults = app, faults

    def __call__(self, environ, start_response):
        method = environ["REQUEST_METHOD"]
        path = environ.get("PATH_INFO", "").encode("latin-1").decode("utf-8", "replace")
        rule = self.faults.rule_for(method, path, environ.get("QUERY_STRING", ""))
        if isinstance(rule, S3Faults.Hold):
            rule.arrived.set()
            rule.released.wait(S3Faults.HOLD_SECONDS)
        elif isinstance(rule, S3Faults.Failure):
            length = int(environ.get("CONTENT_LENGTH") or 0)
            if length:  # read, so that the connection stays in step
                environ["wsgi.input"].read(length)
            body = (
                '<?xml version="1.0" encoding="UTF-8"?>\n'
                f"<Error><Code>{rule.code}</Code><Message>Injected by the test</Message>"
                f"<Resource>{escape(path)}</Resource><RequestId>fault</RequestId></Error>"
            ).encode()
            start_response(
                f"{rule.status} {HTTPStatus(rule.status).phrase}",
                [("Content-Type", "application/xml"), ("Content-Length", str(len(body)))],
            )
            return [b"" if method == "HEAD" else body]
        return self.app(environ, start_response)


@pytest.fixture(scope="session")
def s3_server():
    """moto's S3 server for the session, behind the fault layer (see
    S3Faults), on 127.0.0.1 and a free port, in a daemon thread; its
    endpoint, fake credentials and short client retries in the environment
    (as a user sets them for S3). Stopped, and the environment restored, at
    the end. Yields the S3Faults of the server."""
    from moto.moto_server.werkzeug_app import (
        DomainDispatcherApplication,
        MotoRequestHandler,
        create_backend_app,
    )
    from werkzeug.serving import make_server

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # one line a request
    faults = S3Faults()
    app = FaultLayer(DomainDispatcherApplication(create_backend_app), faults)
    server = make_server("127.0.0.1", 0, app, threaded=True, request_handler=MotoRequestHandler)
    thread = threading.Thread(target=server.serve_forever, name="s3-server", daemon=True)
    thread.start()
    host, port = server.server_address[:2]
    with pytest.MonkeyPatch.context() as patch:
        for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3", "AWS_RETRY_MODE"):
            patch.delenv(name, raising=False)
        patch.setenv("AWS_ENDPOINT_URL", f"http://{host}:{port}")
        patch.setenv("AWS_ACCESS_KEY_ID", "vantorel-test-key")
        patch.setenv("AWS_SECRET_ACCESS_KEY", "vantorel-test-secret")
        patch.setenv("AWS_DEFAULT_REGION", "us-east-1")
        patch.setenv("AWS_MAX_ATTEMPTS", "2")
        try:
            yield faults
        finally:
            faults.reset()
            server.shutdown()
            server.server_close()
            thread.join(10)


@pytest.fixture
def s3_faults(s3_server):
    """The S3 server's faults for this test (see S3Faults): none at the
    start, none left after it."""
    s3_server.reset()
    yield s3_server
    s3_server.reset()


def put(path, content):
    """Writes a file, making its type directory where directories exist."""
    if isinstance(path, pathlib.Path):  # object storage has none
        path.parent.mkdir(exist_ok=True)
    path.write_bytes(content)


def new_bucket():
    """A fresh, empty bucket on the S3 server of the environment."""
    import s3fs

    name = f"test-{uuid.uuid4().hex[:20]}"
    s3fs.S3FileSystem(skip_instance_cache=True, use_listings_cache=False).mkdir(name)
    return name


@pytest.fixture(params=["local", "memory", "s3"])
def any_store(request, tmp_path, monkeypatch):
    """An empty store on each backend, named by VANTOREL_SIMULATIONS_DIR as
    a user would name it; the path object the settings give for it."""
    if request.param == "local":
        url = str(tmp_path / "simulations")
    elif request.param == "memory":
        url = f"memory:///vantorel-{uuid.uuid4().hex}/simulations"
    else:
        request.getfixturevalue("s3_server")
        url = f"s3://{new_bucket()}/simulations"
    monkeypatch.setenv("VANTOREL_SIMULATIONS_DIR", url)
    root = settings.get_simulations_dir()
    yield root
    if request.param == "memory" and root.exists():
        root.fs.rm(root.parent.path, recursive=True)


@pytest.fixture
def logs(caplog):
    """(level, message) pairs logged by the vantorel logger."""
    caplog.set_level(logging.DEBUG, logger="vantorel")

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "vantorel"]

    return lines


def stop_while_writing(process, seconds=30.0):
    """Stops `process` (SIGSTOP) at a moment when it holds a temporary file
    of a save open, and returns that file's path; the process stays
    stopped. Deterministic in outcome: it retries until it is so."""
    fds = f"/proc/{process.pid}/fd"
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        os.kill(process.pid, signal.SIGSTOP)
        os.waitpid(process.pid, os.WUNTRACED)
        for fd in os.listdir(fds):
            try:
                target = os.readlink(f"{fds}/{fd}")
            except FileNotFoundError:
                continue
            if target.endswith(".tmp"):
                return target
        os.kill(process.pid, signal.SIGCONT)
        time.sleep(random.uniform(0, 0.002))
    raise AssertionError(f"process {process.pid} was never caught writing")
