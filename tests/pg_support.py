"""Queries on the test database, outside the app's engine and loop."""

import asyncio
import threading


def sql(db_url, query, *args):
    """Rows of one query on the test database (asyncpg, own connection)."""
    import asyncpg

    async def go():
        conn = await asyncpg.connect(db_url.replace("postgresql+asyncpg://", "postgresql://", 1))
        try:
            return await conn.fetch(query, *args)
        finally:
            await conn.close()

    return asyncio.run(go())


class Database:
    """asyncpg on a loop of its own thread, for synchronous tests: connections that
    stay open across statements (a transaction held while something else
    runs)."""

    def __init__(self, url):
        import asyncpg

        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True).start()
        self.url = url.replace("postgresql+asyncpg://", "postgresql://", 1)
        self.name = self.url.rsplit("/", 1)[1]
        self.connect = lambda: self.run(asyncpg.connect(self.url))
        self.main = self.connect()

    def run(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(120)

    def fetch(self, sql, *args, connection=None):
        return self.run((connection or self.main).fetch(sql, *args))

    def execute(self, sql, *args, connection=None):
        return self.run((connection or self.main).execute(sql, *args))

    def close(self):
        self.run(self.main.close())
        self.loop.call_soon_threadsafe(self.loop.stop)
