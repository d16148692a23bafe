"""The Python package's cost per call, against the C call it makes (through ctypes, as
bare as Python can make it) and, in docs/performance.md, against the C++ call below both
(quenor-bench's CApi rows). Virtual platform only.

    QUENOR_LIBRARY=build/release/quenor/libquenor.so.1 PYTHONPATH=python \\
        python3 benchmarks/python_bench.py

Each row alternates batches of the two sides for eleven rounds and prints the medians
per call in microseconds and the median ratio (Python / bare ctypes).
"""

from __future__ import annotations

import ctypes
import statistics
import time
from typing import Callable

import quenor
from quenor._native import lib
from quenor.virtual import Gadget

ROUNDS, BATCH, SIZE = 11, 300, 64


def paired(name: str, package: Callable[[], int], bare: Callable[[], int]) -> None:
    """Each callable runs a batch of BATCH calls and returns the nanoseconds they took."""
    for side in (package, bare):  # warm-up
        side()
    ours, theirs, ratios = [], [], []
    for round_ in range(ROUNDS):
        order = (package, bare) if round_ % 2 else (bare, package)
        times = {}
        for side in order:
            times[side] = side() / BATCH / 1000
        ours.append(times[package])
        theirs.append(times[bare])
        ratios.append(times[package] / times[bare])
    print(f"{name:<12} python {statistics.median(ours):7.2f} us   ctypes C call "
          f"{statistics.median(theirs):7.2f} us   ratio {statistics.median(ratios):.2f}")


def batch(call: Callable[[], object]) -> Callable[[], int]:
    """BATCH calls, timed as a whole."""
    def run() -> int:
        start = time.perf_counter_ns()
        for _ in range(BATCH):
            call()
        return time.perf_counter_ns() - start
    return run


def main() -> None:
    with Gadget("IOService:/bench/PyGadget", pid=0xBE01, input_size=SIZE,
                feature_size=SIZE) as gadget:
        (entry,) = quenor.devices(pid=0xBE01)
        with quenor.open(entry) as device:
            handle = device._h
            buffer = (ctypes.c_uint8 * SIZE)()
            length = ctypes.c_size_t()
            paired("get_feature", batch(lambda: device.get_feature(2, SIZE)),
                   batch(lambda: lib.quenor_get_feature(handle, 2, buffer, SIZE,
                                                        ctypes.byref(length), -1)))

            report = bytes([1]) + bytes(SIZE - 1)

            def injected(call: Callable[[], object]) -> Callable[[], int]:
                """BATCH calls, each timed after an untimed injection."""
                def run() -> int:
                    total = 0
                    for _ in range(BATCH):
                        gadget.inject(report)
                        start = time.perf_counter_ns()
                        call()
                        total += time.perf_counter_ns() - start
                    return total
                return run

            paired("read", injected(lambda: device.read(timeout=1.0)),
                   injected(lambda: lib.quenor_read(handle, buffer, SIZE, ctypes.byref(length),
                                                    1000)))


if __name__ == "__main__":
    main()
