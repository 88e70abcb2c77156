"""The operations measured on local stores: for each, the module's call
and its floors (and diskcache's and joblib's counterparts, on the stores
that have them), as a Trial."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from vantorel.core import simulation_storage as ss

from .floors import (
    floor_id,
    floor_list,
    floor_walk,
    floor_write,
    found_path,
    known_path,
    listdir_walk,
    read_bytes,
    read_record,
    readdir_walk,
)
from .harness import Trial, Variant, all_none, module_call, same_listing, same_record
from .records import result_path, save, save_arguments, saved_path
from .stores import BuildTrial, Subject, joblib_arguments, pick

CLEAR_COMPONENT = "clear_target"  # the subset cleared, outside the N results
CLEAR_COUNT = 5


def local_find_hit(s: Subject) -> Trial:
    root = s.root
    variants = [
        module_call(lambda k: ss.find_simulation_result(**s.hit(k))),
        Variant(
            "direct",
            "floor: ID + read at the known place, no walk",
            lambda k: read_record(known_path(root, s.hit(k))),
        ),
    ]
    cached_run = s.store.cached_run
    if cached_run is not None:
        joblib_hits = [joblib_arguments(i) for i in s.hits]
        variants.append(
            Variant(
                "joblib",
                "joblib `Memory` cache hit (by identity)",
                lambda k: cached_run(**pick(joblib_hits, k)),
            )
        )
    # Up to a hundred hits' time: its runs would evict from the caches what
    # the next hit finds there.
    variants.append(
        Variant(
            "floor",
            "floor: ID + os.scandir walk + read",
            lambda k: read_record(floor_walk(root, floor_id(s.hit(k)))),
            apart=True,
        )
    )
    return Trial(variants, same_record(s.ids[0]))


def local_find_miss(s: Subject) -> Trial:
    root, byte_root = s.root, os.fsencode(s.root)
    return Trial(
        [
            module_call(lambda k: ss.find_simulation_result(**s.miss(k))),
            Variant(
                "floor",
                "floor: ID + os.scandir walk over every directory",
                lambda k: floor_walk(root, floor_id(s.miss(k))),
            ),
            Variant(
                "listdir",
                "floor: ID + os.listdir walk over every directory",
                lambda k: listdir_walk(byte_root, floor_id(s.miss(k))),
            ),
        ],
        all_none,
    )


def local_load(s: Subject) -> Trial:
    root, byte_root = s.root, os.fsencode(s.root)
    variants = [
        module_call(lambda k: ss.load_simulation_result(s.hit_id(k))),
        Variant(
            "floor",
            "floor: os.scandir walk + read",
            lambda k: read_record(floor_walk(root, s.hit_id(k))),
        ),
        Variant("scandir_walk", "os.scandir walk alone", lambda k: floor_walk(root, s.hit_id(k))),
        Variant(
            "listdir_walk", "os.listdir walk alone", lambda k: listdir_walk(byte_root, s.hit_id(k))
        ),
        Variant(
            "readdir_walk",
            "libc readdir walk (ctypes) alone",
            lambda k: readdir_walk(byte_root, s.hit_id(k)),
        ),
    ]
    cache = s.store.cache
    if cache is not None:
        variants.append(
            Variant("diskcache", "diskcache `Cache.get` (by ID)", lambda k: cache.get(s.hit_id(k)))
        )
    return Trial(variants, same_record(s.ids[0]))


def local_listing(**filters: str) -> BuildTrial:
    def trial(s: Subject) -> Trial:
        root = s.root
        return Trial(
            [
                module_call(lambda k: ss.list_simulation_results(**filters)),
                Variant(
                    "floor",
                    "floor: scandir + read + filter + sort",
                    lambda k: floor_list(root, **filters),
                ),
            ],
            same_listing(s.count(**filters)),
        )

    return trial


def local_save(s: Subject) -> Trial:
    """A new result each time, removed afterwards (untimed) so the store keeps
    its size; the floor writes the very bytes the module wrote and flushes
    them as the module does, and the same write without the flush shows what
    the flush costs."""
    shape, root = s.shape, s.root
    template = save(shape, 20_000_000, component="bench_save")
    template_path = saved_path(root, template)
    template_bytes = read_bytes(template_path)
    os.unlink(template_path)
    save_inputs: dict[int, dict[str, Any]] = {}
    saved_paths: list[str] = []

    def prepare(k: int) -> None:
        save_inputs[k] = save_arguments(shape, 20_000_001 + k, component="bench_save")

    def save_module(k: int) -> None:
        record = ss.save_simulation_result(**save_inputs.pop(k))
        saved_paths.append(saved_path(root, record))

    def write_floor(flush: bool) -> Callable[[int], None]:
        def write(k: int) -> None:
            path = result_path(root, template.simulation_type, "bench_floor", f"{k:016x}")
            floor_write(path, template_bytes, flush=flush)
            saved_paths.append(path)

        return write

    def remove_saved(k: int) -> None:
        while saved_paths:
            os.unlink(saved_paths.pop())

    variants = [
        module_call(save_module, before=prepare, after=remove_saved),
        Variant(
            "floor",
            "floor: write the same bytes + fsync + rename + fsync of the directory",
            write_floor(flush=True),
            after=remove_saved,
        ),
        Variant(
            "no_fsync",
            "write the same bytes + rename, no fsync",
            write_floor(flush=False),
            after=remove_saved,
        ),
    ]
    cache = s.store.cache
    if cache is not None:
        set_keys: list[str] = []
        set_value = template.model_dump()

        def cache_set(k: int) -> None:
            key = f"bench_set_{k}"
            cache.set(key, set_value)
            set_keys.append(key)

        def cache_unset(k: int) -> None:
            while set_keys:
                cache.delete(set_keys.pop())

        variants.append(
            Variant("diskcache", "diskcache `Cache.set` (new key)", cache_set, after=cache_unset)
        )
    return Trial(variants)


def local_delete(s: Subject) -> Trial:
    """An existing result, written back afterwards (untimed)."""
    root = s.root
    removed: dict[str, bytes] = {}

    def keep_file(k: int) -> None:
        path = found_path(root, s.hit_id(k))
        removed[path] = read_bytes(path)

    def restore_file(k: int) -> None:
        for path, data in removed.items():
            with open(path, "wb") as f:
                f.write(data)
        removed.clear()

    def delete_module(k: int) -> None:
        assert ss.delete_simulation_result(s.hit_id(k))

    def delete_floor(k: int) -> None:
        path = floor_walk(root, s.hit_id(k))
        assert path is not None
        os.unlink(path)

    return Trial(
        [
            module_call(delete_module, before=keep_file, after=restore_file),
            Variant(
                "floor",
                "floor: os.scandir walk + unlink",
                delete_floor,
                before=keep_file,
                after=restore_file,
            ),
        ]
    )


def local_clear_component(s: Subject) -> Trial:
    """A subset of CLEAR_COUNT results, outside the store's, saved again
    before each call (untimed)."""
    shape, root = s.shape, s.root

    def save_subset(k: int) -> None:
        for j in range(CLEAR_COUNT):
            save(shape, 30_000_000 + j, component=CLEAR_COMPONENT)

    def clear_module(k: int) -> None:
        assert ss.clear_simulation_results(component_name=CLEAR_COMPONENT) == CLEAR_COUNT

    def clear_floor(k: int) -> None:
        matched = floor_list(root, CLEAR_COMPONENT)
        for path, _ in matched:
            os.unlink(path)
        assert len(matched) == CLEAR_COUNT

    return Trial(
        [
            module_call(clear_module, before=save_subset),
            Variant(
                "floor",
                "floor: the filtered list floor + unlink of each match",
                clear_floor,
                before=save_subset,
            ),
        ]
    )
