"""Each simulation runs once across the workers that share a store: claims
between processes and threads, a claim holder killed on purpose, failed
runs handed to one waiter, and the claim files themselves."""

import multiprocessing
import os
import signal
import threading
import time
import uuid
from pathlib import Path

import orjson
import pytest

from conftest import identity
from vantorel import Store
from vantorel.core import claims, simulation_storage as ss

SPAWN = multiprocessing.get_context("spawn")
LIMIT = 60.0  # seconds: a worker waiting longer than this fails the test


def run_counted(runs: Path, n: int, seconds: float):
    """A run that leaves one file in `runs` (seen from every process) and
    takes `seconds`."""

    def run():
        (runs / f"{n}.{os.getpid()}.{uuid.uuid4().hex}").touch()
        time.sleep(seconds)
        return {"n": [n]}, [1.5]

    return run


def ask(location, numbers, runs, seconds, claim_timeout, barrier=None):
    """A worker process: asks for each simulation in `numbers` (once all
    the processes at `barrier` are ready)."""
    store = Store(location)
    if barrier is not None:
        barrier.wait(LIMIT)
    for n in numbers:
        store.get_or_run(
            run_counted(Path(runs), n, seconds),
            **identity(component_name=f"c{n}"),
            timeout=LIMIT,
            claim_timeout=claim_timeout,
        )


def runs_of(runs: Path) -> list[int]:
    return sorted(int(name.partition(".")[0]) for name in os.listdir(runs))


def start(target, *args):
    process = SPAWN.Process(target=target, args=args)
    process.start()
    return process


@pytest.mark.parametrize("any_store", ["local", "s3"], indirect=True)
def test_processes_asking_for_the_same_simulations_run_each_once(any_store, tmp_path):
    runs = tmp_path / "runs"
    runs.mkdir()
    orders = [[0, 1, 2]] * 4  # all at once on each simulation in turn
    barrier = SPAWN.Barrier(len(orders))
    workers = [start(ask, str(any_store), order, str(runs), 0.3, 30.0, barrier) for order in orders]
    for worker in workers:
        worker.join(LIMIT)
        worker.kill()
    assert [worker.exitcode for worker in workers] == [0] * 4
    assert runs_of(runs) == [0, 1, 2]
    records = Store(any_store).list()
    assert sorted(r.component_name for r in records) == ["c0", "c1", "c2"]
    files = claims.claim_files(any_store)
    assert all(files.generations(r.simulation_id) == [] for r in records)  # all released


@pytest.mark.parametrize("any_store", ["local", "s3"], indirect=True)
def test_claim_of_a_killed_holder_expires(any_store, tmp_path, logs):
    runs = tmp_path / "runs"
    runs.mkdir()
    holder = start(ask, str(any_store), [7], str(runs), LIMIT, 1.0)
    try:
        deadline = time.monotonic() + LIMIT
        while not os.listdir(runs):  # its run has started: it holds the claim
            assert time.monotonic() < deadline and holder.is_alive()
            time.sleep(0.02)
    finally:
        os.kill(holder.pid, signal.SIGKILL)
        holder.join(LIMIT)
    store, results, killed_at = Store(any_store), [], time.monotonic()
    with pytest.raises(TimeoutError, match="still claimed by"):
        store.get_or_run(
            run_counted(runs, 7, 0), **identity(component_name="c7"), timeout=0.2, claim_timeout=1.0
        )

    def waiter():
        results.append(
            store.get_or_run(
                run_counted(runs, 7, 0.2),
                **identity(component_name="c7"),
                timeout=LIMIT,
                claim_timeout=1.0,
            )
        )

    waiters = [threading.Thread(target=waiter) for _ in range(2)]
    for thread in waiters:
        thread.start()
    for thread in waiters:
        thread.join(LIMIT)
    assert time.monotonic() - killed_at >= 1.0 and runs_of(runs) == [7, 7]
    assert len(results) == 2 and results[0] == results[1] == store.list()[0]
    assert [m for level, m in logs() if level == "WARNING" and "Took over" in m] != []


def test_failed_run_hands_the_claim_to_one_waiter(any_store):
    store, events, failed = Store(any_store), [], threading.Event()
    holding = threading.Event()

    def fails():
        events.append("fails")
        holding.set()
        time.sleep(1.0)  # more than claim_timeout: only heartbeats keep the claim
        failed.set()
        raise RuntimeError("diverged")

    def succeeds():
        events.append("after failure" if failed.is_set() else "too early")
        return {"t": [1]}, [1.5]

    def holder():
        try:
            store.get_or_run(fails, **identity(), claim_timeout=0.4)
        except RuntimeError as error:
            results.append(error)

    results: list = []
    threads = [threading.Thread(target=holder)] + [
        threading.Thread(
            target=lambda: results.append(
                store.get_or_run(succeeds, **identity(), timeout=LIMIT, claim_timeout=0.4)
            )
        )
        for _ in range(3)
    ]
    threads[0].start()
    assert holding.wait(LIMIT)
    for thread in threads[1:]:
        thread.start()
    for thread in threads:
        thread.join(LIMIT)
    assert events == ["fails", "after failure"] and len(results) == 4
    assert str(results[0]) == "diverged" and results[1:] == [store.find(**identity())] * 3


def test_claims_are_create_only_and_a_holder_removes_only_its_own(any_store, logs):
    files, sid = claims.claim_files(any_store), "0123456789abcdef"
    first = claims.Claim(files, sid, 0, claim_timeout=0.2)
    assert first.acquire() and not claims.Claim(files, sid, 0, 60).acquire()
    taker = claims.Claim(files, sid, 1, 60)
    assert taker.acquire()
    deadline = time.monotonic() + LIMIT  # the first holder's heartbeat sees it
    while "taken over" not in str(logs()):
        assert time.monotonic() < deadline
        time.sleep(0.02)
    first.release(saved=True)  # removes generations up to its own, never a newer one
    assert files.generations(sid) == [1]
    taker.release(saved=False)
    state = orjson.loads(files.read(sid, 1))
    assert state["released"] is True and state["generation"] == 1 and state["holder"]
    ahead = claims.Claim(files, sid, 3, 60)
    assert ahead.acquire() and not claims.Claim(files, sid, 2, 60).acquire()  # not the newest
    assert sorted(files.generations(sid)) == [1, 3]
    assert ss.list_simulation_results() == [] and ss.load_simulation_result(sid) is None
    if isinstance(any_store, Path):
        names = sorted(os.listdir(any_store / claims.CLAIMS_DIR))
        assert names == [f"{sid}.1.claim", f"{sid}.3.claim"]
        assert all(claims.CLAIM_NAME.fullmatch(name) for name in names)
    ahead.release(saved=True)
    assert files.generations(sid) == []
