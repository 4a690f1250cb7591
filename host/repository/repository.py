"""Generic data access over one mapped model."""

from typing import Any, Generic, List, Optional, Type, TypeVar

from sqlalchemy import select
from sqlalchemy.ext.asyncio import AsyncSession

Model = TypeVar("Model")


class AsyncBaseRepository(Generic[Model]):
    def __init__(self, session: AsyncSession, model: Type[Model]):
        self.session = session
        self.model = model

    async def get_by_id(self, id: Any) -> Optional[Model]:
        """The row with primary key `id`, or None."""
        return await self.session.get(self.model, id)

    async def list(self, *, limit: int = 100, offset: int = 0) -> List[Model]:
        """Rows in primary-key order."""
        pk = self.model.__mapper__.primary_key
        result = await self.session.execute(select(self.model).order_by(*pk).limit(limit).offset(offset))
        return list(result.scalars().all())
