"""A stand-in for an AsyncSession, for unit tests of transaction wrappers."""

import asyncio


class FakeSession:
    """Records the steps done to it; the steps named in `fail` raise the
    exception given for them."""

    def __init__(self, fail=None):
        self.calls, self.fail = [], dict(fail or {})

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
