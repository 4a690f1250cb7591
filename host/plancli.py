"""Plan documents from the shell, for batch printing.

    python -m plancli deed 1201 1202 1203 -o out/      # out/DeedPlan_1201.pdf ...
    python -m plancli site 1201                         # ./SitePlan_1201.pdf

Run from host/ (or as `python host/plancli.py`). The database is the one of
DATABASE_URL; when it is not set, ../.services/demo.env (the demo's data,
written by scripts/demo.sh) or else ../.services/env fills it in. Several ids
show a progress bar. Every id is checked before anything is drawn: an unknown
parcel or a database that cannot be reached ends the run with one line on
stderr and exit status 1, and no file is written. A document is written to a
temporary file beside its target and renamed into place once complete, so a
failure never leaves a half-written PDF.
"""

import argparse
import asyncio
import os
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

KINDS = {"deed": "DeedPlan", "site": "SitePlan"}


class PlanError(Exception):
    """A failure the clerk can act on; its text is the whole message."""


def load_services_env():
    for name in ("demo.env", "env"):
        env = HERE.parent / ".services" / name
        if env.exists():
            from dotenv import load_dotenv

            load_dotenv(env, override=False)
            return


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="plancli", description="Render deed or site plans of parcels to PDF files.")
    parser.add_argument("kind", choices=sorted(KINDS), help="deed plan or site plan")
    parser.add_argument("ids", nargs="+", type=int, metavar="PARCEL_ID", help="parcel ids (PLOT.ID)")
    parser.add_argument("-o", "--output-dir", type=Path, default=Path("."), help="directory of the PDFs (default: .)")
    parser.add_argument("--person-name", default="", help="name the deed plan is made out to")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    return parser.parse_args(argv)


async def parcel_particulars(db, ids):
    """{id: (file_no, cadzone, district name)} of the parcels that exist."""
    from sqlalchemy import select

    from models.gis_model import PLOT, CadZone, District

    rows = await db.execute(
        select(PLOT.id, PLOT.file_no, PLOT.cadzone, District.name)
        .outerjoin(CadZone, CadZone.name == PLOT.cadzone)
        .outerjoin(District, District.id == CadZone.district_id)
        .where(PLOT.id.in_(ids))
    )
    return {row[0]: tuple(row[1:]) for row in rows}


def pdf_bytes(result):
    """The PDF of a plan operation's answer: an in-memory file or a response."""
    if hasattr(result, "getvalue"):
        return result.getvalue()
    if hasattr(result, "body"):
        return bytes(result.body)
    raise PlanError(f"unexpected answer from the plan service: {type(result).__name__}")


def write_atomically(target: Path, content: bytes):
    handle = tempfile.NamedTemporaryFile(dir=target.parent, prefix=f".{target.name}.", suffix=".part", delete=False)
    try:
        with handle:
            handle.write(content)
        os.replace(handle.name, target)
    except BaseException:
        Path(handle.name).unlink(missing_ok=True)
        raise


async def render(args):
    from database import dispose_engine, session_factory

    try:
        from services.plansmith import PlanImageGenerator
    except ImportError as exc:
        raise PlanError(f"the plan service is not built: {exc}") from None

    ids = list(dict.fromkeys(args.ids))
    args.output_dir.mkdir(parents=True, exist_ok=True)
    try:
        async with session_factory()() as db:
            try:
                particulars = await parcel_particulars(db, ids)
            except (OSError, asyncio.TimeoutError) as exc:
                raise PlanError(f"cannot reach the database: {exc}") from None
            except Exception as exc:  # the driver's own connection errors
                if "connect" in type(exc).__name__.lower() or "connect" in str(exc).lower():
                    raise PlanError(f"cannot reach the database: {exc}") from None
                raise
            unknown = [i for i in ids if i not in particulars]
            if unknown:
                raise PlanError("parcel not found: " + ", ".join(map(str, unknown)))

            generator = PlanImageGenerator(db)
            progress = None
            if len(ids) > 1 and not args.no_progress:
                from tqdm import tqdm

                progress = tqdm(total=len(ids), unit="plan", desc=f"{args.kind} plans", file=sys.stderr)
            try:
                for plot_id in ids:
                    if args.kind == "deed":
                        file_no, cadzone, district = particulars[plot_id]
                        result = await generator.generate_deedplan_html(
                            plot_id, district or "", file_no or "", args.person_name, cadzone or "")
                    else:
                        result = await generator.generate_siteplan_html(plot_id)
                    if result is None:
                        raise PlanError(f"parcel not found: {plot_id}")
                    write_atomically(args.output_dir / f"{KINDS[args.kind]}_{plot_id}.pdf", pdf_bytes(result))
                    if progress is not None:
                        progress.update()
            finally:
                if progress is not None:
                    progress.close()
    finally:
        await dispose_engine()


def main(argv=None):
    args = parse_arguments(argv)
    load_services_env()
    # The modules' start-up notes are for servers, not for a clerk's terminal.
    os.environ.setdefault("LOG_LEVEL", "WARNING")
    try:
        asyncio.run(render(args))
    except PlanError as exc:
        print(f"plancli: {exc}", file=sys.stderr)
        return 1
    except RuntimeError as exc:  # DATABASE_URL not set
        print(f"plancli: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
