"""Writes the small sample hive that `make demo` walks when no hive is given.

    python examples/sample_hive.py PATH
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import hivegen  # noqa: E402

if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    hivegen.write_tree(sys.argv[1], hivegen.sample_tree(), file_name=b"SYSTEM")
