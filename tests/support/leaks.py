"""Reference-leak check for native calls: a loop under tracemalloc.

A call that leaks a reference to a fresh object per iteration leaves that
object alive, so the traced memory grows with the number of calls; a clean
call settles after a warm-up (caches, interned names, free lists).
"""

import gc
import tracemalloc


def assert_no_leak(fn, *, calls=3000, warmup=300, limit_bytes=48 * 1024):
    """Run ``fn()`` many times and fail if memory grows with the call count.

    ``fn`` may raise: error paths are checked the same way (the exception is
    swallowed each time, so its traceback does not keep objects alive).
    """

    def run(n):
        for _ in range(n):
            try:
                fn()
            except Exception:
                pass

    run(warmup)
    gc.collect()
    tracemalloc.start()
    try:
        run(warmup)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        run(calls)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    grown = after - before
    assert grown < limit_bytes, f"memory grew by {grown} bytes over {calls} calls"
