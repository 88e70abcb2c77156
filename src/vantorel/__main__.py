"""``python -m vantorel``: the command line."""

from vantorel.cli import main

if __name__ == "__main__":
    main()
