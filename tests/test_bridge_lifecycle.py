"""Life and death of native coroutines and async generators, side by side
with CPython's own: finalisation, the garbage collector, deep chains of
awaits that complete at once, async generator step states, `async with` in
C++ and a coroutine awaited twice.

Every behaviour runs against the native object and against a Python twin of
the same function; where CPython survives, the bridge must survive with the
same outcome. Scenarios that crashed the interpreter run in a subprocess."""

import asyncio
import gc
import os
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

from bridge_module import load
from fake_session import FakeSession

b = load()
HERE = os.path.dirname(os.path.abspath(__file__))


# Python twins of the native test functions.
async def py_await_one(awaitable):
    return await awaitable


async def py_collect(iterable):
    return [item async for item in iterable]


async def py_nested(n, give):
    total = 0
    for i in range(n):
        total += await give(i)
    return total


async def py_give_back(value):
    return value


async def py_ticker(items, tick):
    for item in items:
        await tick()
        yield item


async def py_transaction_gen(session):
    error = None
    try:
        yield session
        await session.commit()
    except BaseException as e:
        error = e
    if isinstance(error, Exception):
        await session.rollback()
    await session.close()
    if error is not None:
        raise error


async def py_inside(manager, awaitable):
    async with manager as bound:
        return bound, await awaitable
    return bound, None


NATIVE = {"await_one": b.await_one, "collect": b.collect, "nested": b.nested,
          "give_back": b.give_back, "ticker": b.ticker, "inside": b.inside,
          "transaction_gen": b.transaction_gen}
PYTHON = {"await_one": py_await_one, "collect": py_collect, "nested": py_nested,
          "give_back": py_give_back, "ticker": py_ticker, "inside": py_inside,
          "transaction_gen": py_transaction_gen}
IMPLS = pytest.mark.parametrize("impl", ["native", "python"])


def funcs(impl):
    return types.SimpleNamespace(**(NATIVE if impl == "native" else PYTHON))


@types.coroutine
def suspend(value="tick"):
    """Suspends once, without an event loop."""
    return (yield value)


def run_scenario(impl, body):
    """Runs `body` in a fresh interpreter with `f` bound to the functions of
    `impl`; returns the finished process."""
    script = textwrap.dedent("""
        import asyncio, gc, sys, types, warnings
        sys.path.insert(0, %r)
        import test_bridge_lifecycle as t
        f = t.funcs(%r)
        suspend = t.suspend
    """) % (HERE, impl) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)


class SlowExit:
    """An async context manager whose exit awaits, as a rollback does."""

    def __init__(self):
        self.exits = []

    async def __aenter__(self):
        return "bound"

    async def __aexit__(self, typ, value, tb):
        self.exits.append((typ, value, tb))
        await asyncio.sleep(0)
        return False


# --- finalisation -------------------------------------------------------------

DROPPED = {
    # never awaited, with the warning turned into an error
    "never awaited": ("""
        warnings.simplefilter("error")
        f.give_back(1)
        gc.collect()
        print("survived")
    """, ["was never awaited"]),
    # suspended inside `async with` whose __aexit__ awaits: close cannot finish
    "exit awaits on close": ("""
        coro = f.inside(t.SlowExit(), suspend())
        coro.send(None)
        del coro
        gc.collect()
        print("survived")
    """, ["coroutine ignored GeneratorExit"]),
}


@IMPLS
@pytest.mark.parametrize("case", DROPPED)
def test_dropped_coroutines_are_reported_not_fatal(impl, case):
    body, reported = DROPPED[case]
    result = run_scenario(impl, body)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "survived"
    assert "Exception ignored in" in result.stderr
    for text in reported:
        assert text in result.stderr


# --- async generator steps ----------------------------------------------------

RUNNING = {
    "aclose": ("gen.aclose()", "aclose(): asynchronous generator is already running"),
    "athrow": ("gen.athrow(ValueError)", "athrow(): asynchronous generator is already running"),
    "asend": ("gen.asend(None)", "anext(): asynchronous generator is already running"),
}


@IMPLS
@pytest.mark.parametrize("second", RUNNING)
def test_second_step_of_a_running_async_generator_is_refused(impl, second):
    call, message = RUNNING[second]
    result = run_scenario(impl, """
        gen = f.ticker([1, 2], suspend)
        first = gen.__anext__()
        assert first.send(None) == "tick"
        other = %s
        try:
            while True:
                other.send(None)
        except RuntimeError as e:
            print("refused:", e)
        except BaseException as e:
            print("not refused:", type(e).__name__, e)
        try:
            first.send(None)
        except StopIteration as stop:
            print("first step gave", stop.value)
        assert gen.ag_running is False
    """ % call)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["refused: " + message, "first step gave 1"]


def test_abandoned_step_does_not_block_the_generator():
    # CPython 3.11 leaves the generator marked running for good after this
    # (every later step is refused); the bridge lets the next step go on.
    gen = b.ticker([1, 2], suspend)
    step = gen.__anext__()
    step.send(None)
    step.close()
    with pytest.raises(StopIteration) as stop:
        gen.__anext__().send(None)  # resumes the frame where it waits
    assert stop.value.value == 1


@IMPLS
def test_asyncio_finalises_abandoned_generators(impl):
    session = FakeSession()
    kept = []

    async def main():
        dropped_session = FakeSession()
        dropped = funcs(impl).transaction_gen(dropped_session)
        assert await dropped.__anext__() is dropped_session
        del dropped  # the loop's finalizer hook closes it in a task
        for _ in range(5):
            await asyncio.sleep(0)
        kept_gen = funcs(impl).transaction_gen(session)
        await kept_gen.__anext__()
        kept.append(kept_gen)  # still referenced: shutdown_asyncgens closes it
        return dropped_session

    dropped_session = asyncio.run(main())
    assert dropped_session.calls == ["close"]
    assert session.calls == ["close"]


# --- the cyclic garbage collector ---------------------------------------------


class Back:
    """An awaitable that refers back to whoever awaits it."""

    def __init__(self):
        self.owner = None

    def __await__(self):
        yield self


@IMPLS
def test_cycles_through_suspended_coroutines_are_collected(impl):
    f = funcs(impl)
    gc.collect()
    aw = Back()
    coro = f.await_one(aw)
    aw.owner = coro
    coro.send(None)
    gone = [weakref.ref(aw), weakref.ref(coro)]
    del aw, coro

    async def parked():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.ensure_future(f.await_one(fut))
        await asyncio.sleep(0)
        gone.append(weakref.ref(task))

    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending"
    try:
        loop.run_until_complete(parked())
        gc.collect()
    finally:
        loop.close()
    assert [ref() for ref in gone] == [None, None, None]


@IMPLS
def test_cycle_through_an_async_generator_is_collected(impl):
    gen = funcs(impl).ticker([1], lambda: back)
    back = Back()
    back.owner = gen
    step = gen.__anext__()
    step.send(None)
    gone = weakref.ref(gen)
    del gen, step, back
    gc.collect()
    assert gone() is None


# --- awaits that complete at once -----------------------------------------------


async def buffered(n):
    for i in range(n):
        yield i


DEEP = {
    "a million ready native awaits": ("asyncio.run(f.nested(1_000_000, f.give_back))",
                                      str(sum(range(1_000_000)))),
    "a million ready Python awaits": ("asyncio.run(f.nested(1_000_000, t.py_give_back))",
                                      str(sum(range(1_000_000)))),
    "100 000 buffered anext items": ("len(asyncio.run(f.collect(t.buffered(100_000))))",
                                     "100000"),
}


@IMPLS
@pytest.mark.parametrize("case", DEEP)
def test_ready_awaits_do_not_grow_the_stack(impl, case):
    expression, expected = DEEP[case]
    result = run_scenario(impl, "print(%s)" % expression)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == expected


# --- async with in C++ ------------------------------------------------------------


@IMPLS
def test_cancelled_block_exits_and_stays_cancelled(impl):
    manager = SlowExit()

    async def main():
        fut = asyncio.get_running_loop().create_future()  # raises with no traceback
        task = asyncio.ensure_future(funcs(impl).inside(manager, fut))
        await asyncio.sleep(0)
        task.cancel("stop")
        with pytest.raises(asyncio.CancelledError) as cancelled:
            await task
        return cancelled.value

    error = asyncio.run(main())
    [(typ, value, tb)] = manager.exits
    assert typ is asyncio.CancelledError and value.args == ("stop",)
    assert error.args == ("stop",)


def test_cancelled_transaction_closes_the_session_and_stays_cancelled():
    session = FakeSession()

    async def main():
        fut = asyncio.get_running_loop().create_future()
        task = asyncio.ensure_future(b.inside(b.transaction(session), fut))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert session.calls == ["close"]


def test_cpp_errors_in_a_block_reach_the_exit():
    manager = SlowExit()
    with pytest.raises(TypeError, match="expected an int") as raised:
        asyncio.run(b.inside_failing(manager))
    [(typ, value, tb)] = manager.exits
    assert typ is TypeError and value is raised.value


# --- one awaiter per coroutine ------------------------------------------------------


@pytest.mark.parametrize("inner", ["native", "python"])
@pytest.mark.parametrize("outer", ["native", "python"])
def test_a_coroutine_awaited_twice_is_refused(inner, outer):
    awaited = funcs(inner).await_one(suspend())
    first = funcs(outer).await_one(awaited)
    assert first.send(None) == "tick"
    second = funcs(outer).await_one(awaited)
    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        second.send(None)
    with pytest.raises(StopIteration) as stop:
        first.send("done")
    assert stop.value.value == "done"
