"""Latency of vantorel.core.simulation_storage on stores of realistic results.

Local stores of 100, 1,000, 10,000 and 100,000 results, built through
save_simulation_result (so the stores are real; the largest is built once and
kept between runs under benchmarks/.cache/), where each operation is measured
side by side with:

- its floors: the least file-system and decoding work that gives the same
  answer (a walk of the type directories with os.scandir, os.listdir or
  libc's readdir through ctypes; read + orjson + model_validate of the same
  files, or of the one file at its known place without a walk; json.dumps +
  SHA-256 of the identity; write + fsync + rename + fsync of the directory,
  and the same without fsync, for what a save's flush costs; unlink);
- the stores users would pick instead, holding the same records, up to
  10,000 results: diskcache (Cache.set / Cache.get, and a Cache.memoize hit)
  and joblib (a Memory cache hit).

The job through vantorel.Store is measured there too: a hit of get_or_run
against find_simulation_result's (and the memoized hits of joblib and
diskcache), a miss of get_or_run (claim, a trivial run, save) against the
same miss by hand, and Store.frame against list_simulation_results at the
largest store grown in the run; RESULTS.md gathers them, with their goals,
at its top.

Then the same operations on S3 (moto's server in its own process on
127.0.0.1), at 100 and 1,000 results, with the requests each call sends,
counted by a botocore event hook; and a listing that keeps many reads in
flight against reads one by one, also with a fixed latency added to each
answer of the server.

Writes RESULTS.md (medians, ratios to the floors, request counts) and
latency.png (find, load and list by type against store size).

    ./dev bench              # full run, into benchmarks/
    ./dev bench --quick      # short run (100 results, 1,000 kept, S3 at 100);
                             # results into a temporary directory

Modules: `operations` holds the table of what is measured, one row per
operation naming where it runs and, for each kind of store, the function
(in `local_trials`, `s3_trials`, and `job_trials` for vantorel.Store's)
that builds its variants: the module's call and its floors. `harness`
times variants; `floors` is the least work that gives each answer;
`records` and `stores` make the stores; `s3` runs the S3 part on a moto
server; `report` writes RESULTS.md and latency.png; `main` runs it all.
"""

from pathlib import Path

BENCHMARKS_DIR = Path(__file__).resolve().parent.parent
