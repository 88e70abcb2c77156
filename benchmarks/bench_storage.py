"""Entry point of `./dev bench`: runs the storage_bench package beside this
file (see its docstring, or `--help`)."""

import sys

from storage_bench.main import main

if __name__ == "__main__":
    sys.exit(main())
