"""Land-use purposes that parcels are allocated for."""

from typing import Optional

from sqlalchemy import Integer, String
from sqlalchemy.orm import Mapped, mapped_column

from models.base import Base


class LandPurpose(Base):
    __tablename__ = "LAND_PURPOSE"
    __table_args__ = {"schema": "GIS"}

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    name: Mapped[str] = mapped_column("NAME", String)
    general_lu: Mapped[str] = mapped_column("GENERAL_LU", String)
    description: Mapped[Optional[str]] = mapped_column("DESCRIPTION", String)
