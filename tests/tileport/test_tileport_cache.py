"""The byte cache on the real Redis, the guarded cache calls, and the
transaction wrapper around a session."""

import asyncio
import uuid

import pytest
import redis.exceptions


@pytest.fixture
def key(redis_admin, run):
    """A caller-side key of this test only; its Redis entry is removed afterwards."""
    name = f"test:{uuid.uuid4().hex}"
    yield name
    run(redis_admin.delete("mvt_v8:" + name))


def test_keys_carry_the_namespace(tp):
    assert tp.cache._make_key("centroid:plots") == "mvt_v8:centroid:plots"
    assert tp.cache._make_key("") == "mvt_v8:"
    plain = tp.BinaryRedisCache(tp.redis_client)
    assert plain._make_key("centroid:plots") == "mvt:centroid:plots"
    assert plain._make_key(5) == "mvt:5"
    assert plain.redis is tp.redis_client and plain.namespace == "mvt"


def test_set_get_delete_round_trip_raw_bytes(tp, run, redis_admin, key):
    value = bytes(range(256)) + b"\xff\xfe not utf-8"
    assert run(tp.cache.get(key)) is None
    assert run(tp.cache.set(key, value)) is None
    assert run(tp.cache.get(key)) == value
    assert 3590 < run(redis_admin.ttl("mvt_v8:" + key)) <= 3600
    run(tp.cache.set(key, b"x", ttl=30))
    assert 0 < run(redis_admin.ttl("mvt_v8:" + key)) <= 30
    assert run(tp.cache.delete(key)) is None
    assert run(tp.cache.get(key)) is None
    assert run(tp.cache.delete(key)) is None  # missing key: no error


def test_expired_value_reads_as_none(tp, run, redis_admin, key):
    run(redis_admin.set("mvt_v8:" + key, b"old", px=1))
    run(asyncio.sleep(0.01))
    assert run(tp.cache.get(key)) is None


def test_unreachable_redis_raises_to_the_caller(tp, run, dead_redis):
    cache = tp.BinaryRedisCache(dead_redis, namespace="mvt_v8")
    for call in (cache.get("k"), cache.set("k", b"v"), cache.delete("k")):
        with pytest.raises(redis.exceptions.ConnectionError):
            run(call)


def test_safe_get_miss_and_hit(tp, run, key, tile_log):
    assert run(tp.safe_cache_get(key)) is None
    run(tp.cache.set(key, b"\x1a\x00tile"))
    assert run(tp.safe_cache_get(key)) == b"\x1a\x00tile"
    assert tile_log() == []


def test_safe_get_gives_up_on_a_stalling_redis(tp, run, module_redis, stalling_redis, tile_log):
    module_redis(stalling_redis)
    assert run(tp.safe_cache_get("plots:1:0:0", timeout=0.2)) is None
    assert tile_log("WARNING") == ["Cache get failed for plots:1:0:0: "]


def test_safe_get_and_set_absorb_redis_failures(tp, run, module_redis, dead_redis, tile_log):
    module_redis(dead_redis)
    assert run(tp.safe_cache_get("plots:1:0:0")) is None
    assert run(tp.safe_cache_set("plots:1:0:0", b"tile", 60)) is None
    get_line, set_line = tile_log("WARNING")
    # The client retries refused connections; the read may hit its time-out first.
    assert get_line.startswith("Cache get failed for plots:1:0:0: ")
    assert set_line.startswith("Cache set failed for plots:1:0:0: Error 111 connecting to ")


def test_safe_get_absorbs_error_replies(tp, run, module_redis, redis_user, tile_log):
    module_redis(redis_user("+@all", "-get", "-set"))
    assert run(tp.safe_cache_get("plots:1:0:0")) is None
    assert run(tp.safe_cache_set("plots:1:0:0", b"tile", 60)) is None
    get_line, set_line = tile_log("WARNING")
    assert get_line == (
        "Cache get failed for plots:1:0:0: this user has no permissions to run the 'get' command")
    assert set_line == (
        "Cache set failed for plots:1:0:0: this user has no permissions to run the 'set' command")


def test_safe_set_stores_with_the_given_lifetime(tp, run, redis_admin, key):
    run(tp.safe_cache_set(key, b"tile", 1800))
    assert run(redis_admin.get("mvt_v8:" + key)) == b"tile"
    assert 1790 < run(redis_admin.ttl("mvt_v8:" + key)) <= 1800
    with pytest.raises(TypeError):
        tp.safe_cache_set(key, b"tile")


def test_safe_get_lets_cancellation_through(tp, run, module_redis, stalling_redis):
    module_redis(stalling_redis)

    async def cancel_it():
        task = asyncio.ensure_future(tp.safe_cache_get("plots:1:0:0", timeout=30))
        await asyncio.sleep(0.05)
        task.cancel()
        return await asyncio.gather(task, return_exceptions=True)

    (outcome,) = run(cancel_it())
    assert isinstance(outcome, asyncio.CancelledError)


class Session:
    """Records what the wrapper does to it; each step may be made to fail."""

    def __init__(self, fail=()):
        self.calls = []
        self.fail = dict(fail)

    async def _step(self, name):
        await asyncio.sleep(0)
        self.calls.append(name)
        if name in self.fail:
            raise self.fail[name]

    def commit(self):
        return self._step("commit")

    def rollback(self):
        return self._step("rollback")

    def close(self):
        return self._step("close")


def test_transaction_commits_then_closes(tp, run):
    session = Session()

    async def body():
        async with tp.db_transaction(session) as db:
            assert db is session
            session.calls.append("body")

    run(body())
    assert session.calls == ["body", "commit", "close"]


def test_transaction_rolls_back_and_reraises_the_same_error(tp, run):
    session = Session()
    error = asyncio.TimeoutError()

    async def body():
        try:
            async with tp.db_transaction(session):
                raise error
        except asyncio.TimeoutError as caught:
            return caught

    assert run(body()) is error
    assert session.calls == ["rollback", "close"]


def test_transaction_rolls_back_a_failed_commit(tp, run):
    failure = RuntimeError("commit failed")
    session = Session(fail={"commit": failure})

    async def body():
        async with tp.db_transaction(session):
            pass

    with pytest.raises(RuntimeError) as caught:
        run(body())
    assert caught.value is failure
    assert session.calls == ["commit", "rollback", "close"]


def test_transaction_closes_when_the_rollback_fails(tp, run):
    original = ValueError("statement failed")
    rollback_failure = ConnectionError("connection lost")
    session = Session(fail={"rollback": rollback_failure})

    async def body():
        async with tp.db_transaction(session):
            raise original

    with pytest.raises(ConnectionError) as caught:
        run(body())
    assert caught.value is rollback_failure
    assert caught.value.__context__ is original
    assert session.calls == ["rollback", "close"]


def test_transaction_close_failure_propagates(tp, run):
    close_failure = OSError("socket gone")
    session = Session(fail={"close": close_failure})

    async def body():
        async with tp.db_transaction(session):
            pass

    with pytest.raises(OSError) as caught:
        run(body())
    assert caught.value is close_failure
    assert session.calls == ["commit", "close"]


def test_transaction_closes_without_rollback_on_cancellation(tp, run):
    session = Session()

    async def body():
        async with tp.db_transaction(session):
            raise asyncio.CancelledError()

    with pytest.raises(asyncio.CancelledError):
        run(body())
    assert session.calls == ["close"]
