"""Cost of the bridge against plain Python, side by side in one run.

Prints, for each case, native time / Python time per call (lower is better;
1.0 means the native path costs the same as the Python one).
"""

import asyncio
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from bridge_module import load  # noqa: E402

b = load()


def py_echo(a: int, b: int = 2, *, c=3) -> tuple:
    return (a, b, c)


async def py_give_back(value):
    return value


async def py_await_one(awaitable):
    return await awaitable


async def leaf():
    return 1


async def py_nested(n, give):
    total = 0
    for i in range(n):
        total += await give(i)
    return total


async def py_collect(iterable):
    return [item async for item in iterable]


async def buffered(n):
    for i in range(n):
        yield i


def timed(fn, n):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        fn(n)
        best = min(best, time.perf_counter() - start)
    return best / n


def calls(f):
    def body(n):
        for _ in range(n):
            f(1, c=4)

    return body


def awaits(outer, inner):
    async def main(n):
        for _ in range(n):
            await outer(inner())

    return lambda n: asyncio.run(main(n))


def tasks(outer):
    async def main(n):
        loop = asyncio.get_running_loop()
        for _ in range(n):
            await loop.create_task(outer(leaf()))

    return lambda n: asyncio.run(main(n))


def chain(outer, inner):
    """n awaits of ready coroutines inside one coroutine."""
    return lambda n: asyncio.run(outer(n, inner))


def drain(collect):
    """n items of an async generator that never suspends."""
    return lambda n: asyncio.run(collect(buffered(n)))


def main():
    n = int(os.environ.get("BENCH_N", "100000"))
    cases = [
        ("call with keyword", calls(b.echo), calls(py_echo)),
        ("await a Python coroutine", awaits(b.await_one, leaf), awaits(py_await_one, leaf)),
        ("run as a task", tasks(b.await_one), tasks(py_await_one)),
        ("ready awaits in one frame", chain(b.nested, b.give_back), chain(py_nested, py_give_back)),
        ("anext over buffered items", drain(b.collect), drain(py_collect)),
    ]
    print(f"{'case':28} {'native us':>10} {'python us':>10} {'ratio':>7}")
    for name, native, python in cases:
        tn, tp = timed(native, n), timed(python, n)
        print(f"{name:28} {tn * 1e6:10.3f} {tp * 1e6:10.3f} {tn / tp:7.2f}")


if __name__ == "__main__":
    main()
