"""ORM models of the "GIS" schema (scripts/schema.sql).

Geometries are Web Mercator (SRID 3857). The spatial indexes belong to the
schema, so the columns declare none of their own.
"""

from typing import Optional

from geoalchemy2 import Geometry
from sqlalchemy import Float, ForeignKey, Integer, String
from sqlalchemy.orm import Mapped, mapped_column

from models.base import Base

GIS = {"schema": "GIS"}


def geometry(name: str, kind: str):
    return mapped_column(name, Geometry(kind, srid=3857, spatial_index=False), nullable=False)


class LGA(Base):
    __tablename__ = "LGAs"
    __table_args__ = GIS

    id: Mapped[int] = mapped_column("id", Integer, primary_key=True)
    name: Mapped[str] = mapped_column("name", String)
    code: Mapped[str] = mapped_column("code", String)
    geometry = geometry("geometry", "MULTIPOLYGON")


class District(Base):
    __tablename__ = "Districts"
    __table_args__ = GIS

    id: Mapped[int] = mapped_column("id", Integer, primary_key=True)
    name: Mapped[str] = mapped_column("name", String)
    lga_id: Mapped[int] = mapped_column("lga_id", ForeignKey("GIS.LGAs.id"))
    geometry = geometry("geometry", "MULTIPOLYGON")


class CadZone(Base):
    __tablename__ = "CadZones"
    __table_args__ = GIS

    id: Mapped[int] = mapped_column("id", Integer, primary_key=True)
    name: Mapped[str] = mapped_column("name", String)
    district_id: Mapped[int] = mapped_column("district_id", ForeignKey("GIS.Districts.id"))
    geometry = geometry("geometry", "MULTIPOLYGON")


class PLOT(Base):
    __tablename__ = "PLOT"
    __table_args__ = GIS

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    geometry = geometry("GEOMETRY", "POLYGON")
    plot_no: Mapped[str] = mapped_column("PLOT_NO", String)
    status: Mapped[Optional[str]] = mapped_column("STATUS", String)
    area_system: Mapped[Optional[float]] = mapped_column("AREA_SYSTEM", Float)
    general_lu: Mapped[Optional[str]] = mapped_column("GENERAL_LU", String)
    cadzone: Mapped[Optional[str]] = mapped_column("CADZONE", String)
    detail_lu: Mapped[Optional[str]] = mapped_column("DETAIL_LU", String)
    file_no: Mapped[Optional[str]] = mapped_column("file_no", String)
    surveyed_by: Mapped[Optional[str]] = mapped_column("SURVEYED_BY", String)
    address: Mapped[Optional[str]] = mapped_column("ADDRESS", String)
    plan_layout_no: Mapped[Optional[str]] = mapped_column("PLAN_LAYOUT_NO", String)


class BEACON(Base):
    __tablename__ = "BEACON"
    __table_args__ = GIS

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    geometry = geometry("GEOMETRY", "POINT")
    beacon_no: Mapped[str] = mapped_column("BEACON_NO", String)
    status: Mapped[Optional[str]] = mapped_column("STATUS", String)
    remark: Mapped[Optional[str]] = mapped_column("REMARK", String)
    northing: Mapped[float] = mapped_column("NORTHING", Float)
    easting: Mapped[float] = mapped_column("EASTING", Float)


class BOUNDARY(Base):
    """One side of a parcel: the course from beacon1 to beacon2."""

    __tablename__ = "BOUNDARY"
    __table_args__ = GIS

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    plotid: Mapped[int] = mapped_column("PLOTID", ForeignKey("GIS.PLOT.ID"))
    seq: Mapped[int] = mapped_column("SEQ", Integer)
    beacon1id: Mapped[int] = mapped_column("BEACON1ID", ForeignKey("GIS.BEACON.ID"))
    beacon2id: Mapped[int] = mapped_column("BEACON2ID", ForeignKey("GIS.BEACON.ID"))
    length: Mapped[float] = mapped_column("LENGTH", Float)
    angledeg: Mapped[int] = mapped_column("ANGLEDEG", Integer)
    anglemin: Mapped[int] = mapped_column("ANGLEMIN", Integer)


class ROAD(Base):
    __tablename__ = "ROAD"
    __table_args__ = GIS

    id: Mapped[int] = mapped_column("ID", Integer, primary_key=True)
    geometry = geometry("GEOMETRY", "GEOMETRY")
    road_name: Mapped[str] = mapped_column("ROAD_NAME", String)
    road_type: Mapped[str] = mapped_column("ROAD_TYPE", String)
    width_m: Mapped[Optional[float]] = mapped_column("WIDTH_M", Float)
