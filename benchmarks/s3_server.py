"""moto's S3 server for the benchmark: the application `python -m moto.server`
serves, on 127.0.0.1, optionally answering each request only after a fixed
delay (a model of the network round trip to a real S3 endpoint, which moto
on loopback does not have).

    python benchmarks/s3_server.py --port PORT [--latency-ms 20]

It exits when the process that started it does (Linux), so a benchmark that
is killed leaves no server behind.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import signal
import sys
import time

from moto.server import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
from werkzeug.serving import run_simple

PR_SET_PDEATHSIG = 1


def exit_with_parent() -> None:
    parent = os.getppid()
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG)")
    if os.getppid() != parent:  # the parent died before prctl took effect
        sys.exit(1)


def delayed(app, seconds: float):
    """WSGI middleware: sleeps `seconds` before handing the request to `app`.
    The server is threaded, so requests in flight wait concurrently, as
    they would on a network."""

    def application(environ, start_response):
        time.sleep(seconds)
        return app(environ, start_response)

    return application


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--latency-ms", type=float, default=0.0)
    args = parser.parse_args()
    exit_with_parent()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    os.environ.setdefault("MOTO_PORT", str(args.port))  # as moto.server's main
    app = DomainDispatcherApplication(create_backend_app)
    if args.latency_ms > 0:
        app = delayed(app, args.latency_ms / 1000)
    # Every request is logged on stderr (werkzeug's access log): the
    # benchmark counts those lines to check its own request counts.
    run_simple("127.0.0.1", args.port, app, threaded=True, request_handler=MotoRequestHandler)


if __name__ == "__main__":
    main()
