"""The operations measured on S3 stores: for each, the module's call and
its floors, as a Trial. `s.fs` is the s3fs instance the module uses and
`s.root` the bucket/prefix of the store."""

from __future__ import annotations

from typing import Any

from vantorel.core import simulation_storage as ss

from .floors import (
    decode,
    fetch_concurrently,
    fetch_one_by_one,
    known_path,
    s3_floor_list,
    s3_list_keys,
    s3_read,
    s3_read_or_none,
    s3_walk,
)
from .harness import Trial, Variant, all_equal, all_none, module_call, same_listing, same_record
from .records import result_path, save, save_arguments, saved_path
from .stores import BuildTrial, Subject


def s3_find_hit(s: Subject) -> Trial:
    fs, root = s.fs, s.root
    return Trial(
        [
            module_call(lambda k: ss.find_simulation_result(**s.hit(k))),
            Variant(
                "direct",
                "floor: ID + GET at the known key",
                lambda k: decode(s3_read(fs, known_path(root, s.hit(k)))),
            ),
        ],
        same_record(s.ids[0]),
    )


def s3_find_miss(s: Subject) -> Trial:
    fs, root = s.fs, s.root
    return Trial(
        [
            module_call(lambda k: ss.find_simulation_result(**s.miss(k))),
            Variant(
                "direct",
                "floor: ID + GET at the known key (not found)",
                lambda k: s3_read_or_none(fs, known_path(root, s.miss(k))),
            ),
        ],
        all_none,
    )


def s3_load(s: Subject) -> Trial:
    fs, root = s.fs, s.root
    return Trial(
        [
            module_call(lambda k: ss.load_simulation_result(s.hit_id(k))),
            Variant(
                "floor",
                "floor: listings until the key + GET",
                lambda k: decode(s3_read(fs, s3_walk(fs, root, s.hit_id(k)))),
            ),
        ],
        same_record(s.ids[0]),
    )


def s3_listing(*, one_by_one: bool = False, **filters: str) -> BuildTrial:
    """With `one_by_one`, also the floor that sends its GETs one at a time."""

    def trial(s: Subject) -> Trial:
        fs, root = s.fs, s.root
        variants = [
            module_call(lambda k: ss.list_simulation_results(**filters)),
            Variant(
                "floor",
                "floor: listings + GETs in flight together",
                lambda k: s3_floor_list(fs, root, fetch_concurrently, **filters),
            ),
        ]
        if one_by_one:
            variants.append(
                Variant(
                    "one_by_one",
                    "listings + GETs one by one",
                    lambda k: s3_floor_list(fs, root, fetch_one_by_one, **filters),
                )
            )
        return Trial(variants, same_listing(s.count(**filters)))

    return trial


def s3_save(s: Subject) -> Trial:
    """A new result each time, removed afterwards (untimed); the floor PUTs
    the very bytes the module wrote."""
    fs, shape, root = s.fs, s.shape, s.root
    template = save(shape, 20_000_000, component="bench_save")
    template_key = saved_path(root, template)
    template_bytes = s3_read(fs, template_key)
    fs.rm_file(template_key)
    save_inputs: dict[int, dict[str, Any]] = {}
    saved_keys: list[str] = []

    def prepare(k: int) -> None:
        save_inputs[k] = save_arguments(shape, 20_000_001 + k, component="bench_save")

    def save_module(k: int) -> None:
        record = ss.save_simulation_result(**save_inputs.pop(k))
        saved_keys.append(saved_path(root, record))

    def save_floor(k: int) -> None:
        key = result_path(root, template.simulation_type, "bench_floor", f"{k:016x}")
        fs.pipe_file(key, template_bytes)
        saved_keys.append(key)

    def remove_saved(k: int) -> None:
        while saved_keys:
            fs.rm_file(saved_keys.pop())

    return Trial(
        [
            module_call(save_module, before=prepare, after=remove_saved),
            Variant("floor", "floor: one PUT of the same bytes", save_floor, after=remove_saved),
        ]
    )


def s3_delete(s: Subject) -> Trial:
    """An existing result, written back afterwards (untimed)."""
    fs, root = s.fs, s.root
    removed: dict[str, bytes] = {}

    def keep_object(k: int) -> None:
        key = s3_walk(fs, root, s.hit_id(k))
        removed[key] = s3_read(fs, key)

    def restore_object(k: int) -> None:
        fs.pipe(removed)
        removed.clear()

    def delete_module(k: int) -> None:
        assert ss.delete_simulation_result(s.hit_id(k))

    def delete_floor(k: int) -> None:
        fs.rm_file(s3_walk(fs, root, s.hit_id(k)))

    return Trial(
        [
            module_call(delete_module, before=keep_object, after=restore_object),
            Variant(
                "floor",
                "floor: listings until the key + DELETE",
                delete_floor,
                before=keep_object,
                after=restore_object,
            ),
        ]
    )


def s3_clear(s: Subject) -> Trial:
    """The whole store, written back (untimed, all PUTs in flight together)
    after each call."""
    fs, root = s.fs, s.root
    snapshot = dict(fetch_concurrently(fs, s3_list_keys(fs, root)))

    def restore_store(k: int) -> None:
        fs.pipe(snapshot)

    def clear_floor(k: int) -> int:
        keys = s3_list_keys(fs, root)
        fs.rm(keys)  # DeleteObjects, up to 1,000 keys a request
        return len(keys)

    return Trial(
        [
            module_call(lambda k: ss.clear_simulation_results(), after=restore_store),
            Variant("floor", "floor: listings + bulk delete", clear_floor, after=restore_store),
        ],
        all_equal,
    )
