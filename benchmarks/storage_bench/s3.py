"""The S3 part of a run: moto's server in its own process, the module's
s3fs client with a hook counting its requests, and the operations of the
table measured on S3 stores."""

from __future__ import annotations

import os
import random
import re
import socket
import subprocess
import sys
import time
import urllib.request
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import s3fs
from upath import UPath

from vantorel import settings

from . import BENCHMARKS_DIR
from .floors import fetch_concurrently, s3_list_keys
from .harness import Config, Measured, Requests
from .operations import S3, S3_LATE, measure_at
from .records import SMALL
from .stores import Store, Subject

S3_BUCKET = "vantorel-bench"
# Added by the server to every answer in the latency comparison: the order
# of a small-object round trip to S3 from a machine in the same region. It
# is a model, not a measurement; moto on loopback has no latency at all.
S3_LATENCY_MS = 20.0

# werkzeug's access log line, whose request part may be coloured by status.
ACCESS_LOG_LINE = re.compile(rb'"(?:\x1b\[[0-9;]*m)*(?:GET|PUT|POST|DELETE|HEAD) \S+ HTTP/')


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


class S3Server:
    """moto's S3 server in its own process (benchmarks/s3_server.py), on
    127.0.0.1 and a free port, with its access log in `log_path` and the
    AWS variables pointing at it while it runs; stopped on leaving, also on
    errors and Ctrl-C (and with this process, if it is killed)."""

    AWS_VARIABLES = (
        "AWS_ENDPOINT_URL",
        "AWS_ACCESS_KEY_ID",
        "AWS_SECRET_ACCESS_KEY",
        "AWS_DEFAULT_REGION",
        "AWS_PROFILE",
        "AWS_SESSION_TOKEN",
        "AWS_ENDPOINT_URL_S3",
        "NO_PROXY",
    )

    def __init__(self, latency_ms: float, log_path: Path):
        self.latency_ms = latency_ms
        self.log_path = log_path
        self.process: subprocess.Popen[bytes] | None = None
        self.saved_environment: dict[str, str | None] = {}

    def __enter__(self) -> S3Server:
        for _ in range(3):  # the free port may be taken before the server binds it
            port = free_port()
            with open(self.log_path, "wb") as log:
                self.process = subprocess.Popen(
                    [
                        sys.executable,
                        str(BENCHMARKS_DIR / "s3_server.py"),
                        "--port",
                        str(port),
                        "--latency-ms",
                        str(self.latency_ms),
                    ],
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=log,
                )
            try:
                if self._wait_until_ready(self.process, f"http://127.0.0.1:{port}"):
                    break
            except BaseException:
                self._stop()
                raise
            self._stop()
        else:
            raise RuntimeError(f"the S3 server did not start: see {self.log_path}")
        self.saved_environment = {name: os.environ.get(name) for name in self.AWS_VARIABLES}
        for name in ("AWS_PROFILE", "AWS_SESSION_TOKEN", "AWS_ENDPOINT_URL_S3"):
            os.environ.pop(name, None)
        os.environ.update(
            AWS_ENDPOINT_URL=f"http://127.0.0.1:{port}",
            AWS_ACCESS_KEY_ID="bench",
            AWS_SECRET_ACCESS_KEY="bench",
            AWS_DEFAULT_REGION="us-east-1",
            NO_PROXY="127.0.0.1",
        )
        # fsspec keeps one S3FileSystem per set of options, bound to the
        # endpoint it first saw: this server gets a new one.
        s3fs.S3FileSystem.clear_instance_cache()
        return self

    def __exit__(self, *exc: object) -> None:
        for name, value in self.saved_environment.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        s3fs.S3FileSystem.clear_instance_cache()
        self._stop()

    @staticmethod
    def _wait_until_ready(process: subprocess.Popen[bytes], endpoint: str) -> bool:
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if process.poll() is not None:
                return False
            try:
                with opener.open(endpoint + "/moto-api/", timeout=2):
                    return True
            except OSError:
                time.sleep(0.1)
        return False

    def _stop(self) -> None:
        if self.process is None or self.process.poll() is not None:
            return
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def cpu_seconds(self) -> float:
        """User + system CPU time of the server process so far."""
        assert self.process is not None
        stat = Path(f"/proc/{self.process.pid}/stat").read_text()
        fields = stat.rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def logged_requests(self) -> int:
        """Requests in the server's access log so far (one line each)."""
        time.sleep(0.2)  # the last lines may still be on their way to the file
        return len(ACCESS_LOG_LINE.findall(self.log_path.read_bytes()))


class RequestCounter:
    """botocore event hooks on the S3 client: counts the requests sent (one
    `before-send` per attempt, retries included) by operation, and follows
    how many are in flight at once."""

    def __init__(self) -> None:
        self.calls: Counter[str] = Counter()
        self.total = 0
        self.in_flight = 0
        self.most_in_flight = 0

    def attach(self, fs: Any) -> None:
        events = fs.s3.meta.events
        events.register("before-send.s3", self._before_send)
        events.register("response-received.s3", self._response_received)

    def _before_send(self, event_name: str, **_: Any) -> None:
        self.calls[event_name.rpartition(".")[2]] += 1  # e.g. ...s3.GetObject
        self.total += 1
        self.in_flight += 1
        self.most_in_flight = max(self.most_in_flight, self.in_flight)

    def _response_received(self, **_: Any) -> None:
        self.in_flight -= 1

    def take(self) -> Requests:
        """The requests since the last take (the hooks run on fsspec's event
        loop thread, between the calls made from here)."""
        taken = Requests(self.calls, self.most_in_flight)
        self.calls = Counter()
        self.most_in_flight = self.in_flight
        return taken


def connect(store: Store) -> tuple[Any, RequestCounter]:
    """The s3fs instance the module will use for `store` (fsspec's cached one
    for the options the settings give), with a request counter on its client."""
    store.activate()
    fs = UPath(store.location, use_listings_cache=False).fs
    fs.connect()
    simulations_dir = settings.get_simulations_dir()
    assert isinstance(simulations_dir, UPath) and simulations_dir.fs is fs
    counter = RequestCounter()
    counter.attach(fs)
    return fs, counter


@dataclass
class S3Run:
    results: dict[int, dict[str, Measured]] = field(default_factory=dict)
    build: dict[int, float] = field(default_factory=dict)  # save seconds, from empty
    late: dict[str, Measured] = field(default_factory=dict)  # on the server that answers late
    late_size: int = 0
    counted: dict[str, int] = field(default_factory=dict)  # per server: by the hook
    logged: dict[str, int] = field(default_factory=dict)  # per server: access log
    cpu_per_request: dict[str, float] = field(default_factory=dict)
    connection_pool: int = 0


def run_s3(
    cfg: Config, rng: random.Random, workdir: Path, progress: Callable[[str], None]
) -> S3Run:
    """The S3 stores grown to each of cfg.s3_sizes on a server on loopback,
    measured on the way; then the largest copied to a server that answers
    every request S3_LATENCY_MS late, and measured there."""
    out = S3Run()
    store = Store(SMALL, f"s3://{S3_BUCKET}/simulations")
    root = store.location.removeprefix("s3://")

    def account(
        name: str, server: S3Server, counter: RequestCounter, start: tuple[int, float]
    ) -> None:
        """What the hook counted and the server logged since `start`, and the
        server's CPU time per request meanwhile."""
        logged_start, cpu_start = start
        out.counted[name] = counter.total
        out.logged[name] = server.logged_requests() - logged_start
        out.cpu_per_request[name] = (server.cpu_seconds() - cpu_start) / max(out.logged[name], 1)

    progress("S3: starting the moto server")
    with S3Server(0, workdir / "moto.log") as server:
        fs, counter = connect(store)
        start = (server.logged_requests(), server.cpu_seconds())
        out.connection_pool = fs.s3.meta.config.max_pool_connections
        fs.mkdir(S3_BUCKET)
        for n in cfg.s3_sizes:
            progress(f"S3: building to {n:,} results")
            store.grow(n)
            out.build[n] = store.save_seconds
            progress(f"S3, {n:,} results: measuring")
            out.results[n] = measure_at(S3, Subject.pick(store, n, rng, fs), cfg, counter)
        snapshot = dict(fetch_concurrently(fs, s3_list_keys(fs, root)))
        account("loopback", server, counter, start)

    out.late_size = len(snapshot)
    progress(
        f"S3: moto server answering after {S3_LATENCY_MS:g} ms, listing {out.late_size:,} results"
    )
    with S3Server(S3_LATENCY_MS, workdir / "moto-latency.log") as server:
        fs, counter = connect(store)
        start = (server.logged_requests(), server.cpu_seconds())
        fs.mkdir(S3_BUCKET)
        fs.pipe(snapshot)
        out.late = measure_at(S3_LATE, Subject.pick(store, out.late_size, rng, fs), cfg, counter)
        account("latency", server, counter, start)
    return out
