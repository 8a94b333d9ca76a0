"""``python -m fwprune``: the fwprune program, with its command line, help and exit statuses.

The package ships the program itself (built from the same sources as the C library's, with the
library linked in), and this runs it in place of the interpreter, so that arguments, standard
streams, signals and the exit status are exactly the program's.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import NoReturn, Sequence


def program() -> Path:
    """The path of the fwprune program inside the installed package."""
    return Path(__file__).resolve().with_name("bin") / "fwprune"


def main(arguments: Sequence[str] | None = None) -> NoReturn:
    path = program()
    if not os.access(path, os.X_OK):
        sys.exit(f"fwprune: the package has no program at {path} (it is built on POSIX systems only)")
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(path, ["fwprune", *(sys.argv[1:] if arguments is None else arguments)])


if __name__ == "__main__":
    main()
