"""`python -m quorlin`: the `quorlin` command."""

from quorlin.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
