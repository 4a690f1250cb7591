"""The byte cache on the real Redis, the guarded cache calls, and the
transaction wrapper around a session."""

import asyncio
import uuid

import pytest
import redis.exceptions
from fake_session import FakeSession


def test_byte_cache_round_trip(tp, run, redis_admin):
    key = f"test:{uuid.uuid4().hex}"
    stored = "mvt_v8:" + key
    assert tp.cache._make_key(key) == stored and tp.cache._make_key("") == "mvt_v8:"
    assert tp.BinaryRedisCache(tp.redis_client)._make_key("centroid:plots") == "mvt:centroid:plots"
    value = bytes(range(256)) + b"\xff\xfe"  # not UTF-8
    try:
        assert run(tp.cache.get(key)) is None
        assert run(tp.cache.set(key, value)) is None
        assert run(tp.cache.get(key)) == value
        assert 3590 < run(redis_admin.ttl(stored)) <= 3600
        assert run(tp.cache.delete(key)) is None and run(tp.cache.delete(key)) is None
        run(redis_admin.set(stored, b"old", px=1))
        run(asyncio.sleep(0.01))
        assert run(tp.cache.get(key)) is None  # expired: None, not b""
    finally:
        run(redis_admin.delete(stored))


def test_byte_cache_raises_when_redis_is_unreachable(tp, run, bad_redis):
    cache = tp.BinaryRedisCache(bad_redis("down"), namespace="mvt_v8")
    for call in (cache.get("k"), cache.set("k", b"v"), cache.delete("k")):
        with pytest.raises(redis.exceptions.ConnectionError):
            run(call)


def test_guarded_calls_on_a_working_cache(tp, run, redis_admin, tile_log):
    key = f"test:{uuid.uuid4().hex}"
    try:
        assert run(tp.safe_cache_get(key)) is None
        run(tp.safe_cache_set(key, b"tile", 1800))
        assert run(tp.safe_cache_get(key)) == b"tile"
        assert 1790 < run(redis_admin.ttl("mvt_v8:" + key)) <= 1800
    finally:
        run(redis_admin.delete("mvt_v8:" + key))
    assert tile_log() == []
    with pytest.raises(TypeError):
        tp.safe_cache_set(key, b"tile")  # the lifetime is required


def test_guarded_read_lets_cancellation_through(tp, run, bad_redis, module_redis):
    module_redis(bad_redis("stalling"))

    async def cancel_it():
        task = asyncio.ensure_future(tp.safe_cache_get("plots:1:0:0", timeout=30))
        await asyncio.sleep(0.05)
        task.cancel()
        return (await asyncio.gather(task, return_exceptions=True))[0]

    assert isinstance(run(cancel_it()), asyncio.CancelledError)


BODY_ERROR = asyncio.TimeoutError()
COMMIT_ERROR = RuntimeError("commit failed")
ROLLBACK_ERROR = ConnectionError("connection lost")
CLOSE_ERROR = OSError("socket gone")
CANCEL = asyncio.CancelledError()


@pytest.mark.parametrize("raised, fail, calls, escapes", [
    (None, {}, ["commit", "close"], None),
    (BODY_ERROR, {}, ["rollback", "close"], BODY_ERROR),
    (None, {"commit": COMMIT_ERROR}, ["commit", "rollback", "close"], COMMIT_ERROR),
    (BODY_ERROR, {"rollback": ROLLBACK_ERROR}, ["rollback", "close"], ROLLBACK_ERROR),
    (None, {"close": CLOSE_ERROR}, ["commit", "close"], CLOSE_ERROR),
    (CANCEL, {}, ["close"], CANCEL),  # not an Exception: no rollback, but closed
])
def test_transaction_wrapper(tp, run, raised, fail, calls, escapes):
    session = FakeSession(fail)

    async def block():
        try:
            async with tp.db_transaction(session) as db:
                assert db is session
                if raised is not None:
                    raise raised
        except BaseException as error:  # noqa: B036 (cancellation is checked too)
            return error

    assert run(block()) is escapes
    assert session.calls == calls
    if escapes is ROLLBACK_ERROR:
        assert ROLLBACK_ERROR.__context__ is BODY_ERROR
