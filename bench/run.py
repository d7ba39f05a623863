"""Runs every benchmark under bench/ (bench_*.py) or the ones named.

    python bench/run.py                 # all
    python bench/run.py symbols fees    # bench_symbols.py, bench_fees.py
"""

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main(argv):
    names = argv or sorted(p.stem[len("bench_"):] for p in HERE.glob("bench_*.py"))
    for name in names:
        module = importlib.import_module("bench_" + name)
        module.main()


if __name__ == "__main__":
    main(sys.argv[1:])
