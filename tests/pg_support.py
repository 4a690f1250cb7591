"""One query on the test database, outside the app's engine and loop."""

import asyncio


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
