"""What the map page shows on a running demo (scripts/demo.sh), as a table:
per zoom and place, the names drawn, the parcel numbers on and off their own
parcel, boxes off their parcel, parcels named twice, overlapping names, and
parcels with room for their number (a circle of 25 px) that lack it.

    python3 tests/browser/demo_report.py [BASE_URL] [--search "10 E01"] [--docs docs]

It drives tests/browser/map_page.js (headless Chromium) against BASE_URL
(default http://127.0.0.1:8000); --search names the parcel the search finds
(and where the zoom 18 screenshot is taken); --docs keeps the screenshots
map.png, map-parcels.png and map-search.png in that directory as 256-colour
PNGs.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("base", nargs="?", default="http://127.0.0.1:8000")
    parser.add_argument("--search", default="10 E01")
    parser.add_argument("--docs", type=Path)
    args = parser.parse_args(argv)

    query = urllib.parse.urlencode({"q": args.search, "limit": 1})
    with urllib.request.urlopen(f"{args.base}/search?{query}", timeout=30) as answer:
        results = json.load(answer)["results"]
    if not results or results[0]["kind"] != "plot":
        sys.exit(f"demo_report: no parcel matches {args.search!r}")
    checks = {"parcel": {"query": args.search, "point": results[0]["point"]}}
    with tempfile.TemporaryDirectory() as shots:
        run = subprocess.run(["node", str(ROOT / "tests" / "browser" / "map_page.js"), args.base, shots],
                             env={**os.environ, "HOST_DIR": str(ROOT / "host"), "MAP_CHECKS": json.dumps(checks)},
                             capture_output=True, text=True, timeout=900)
        if run.returncode != 0:
            sys.exit(run.stderr[-2000:])
        seen = json.loads(run.stdout.strip().splitlines()[-1])
        if args.docs:
            from PIL import Image

            for name in ("map.png", "map-parcels.png", "map-search.png"):
                picture = Image.open(Path(shots) / name).convert("RGB")
                picture.quantize(colors=256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE) \
                    .save(args.docs / name, optimize=True)

    print(f"console errors: {len(seen['consoleErrors'])}, tile answers fetched again: {seen['retriedLoads']}")
    print(f"opening view: zoom {seen['opening']['zoom']:.2f}, names {seen['opening']['names']}")
    print("zoom  place                 names  parcel numbers  on parcel  off parcel  box off  twice  overlaps  unnamed")
    for v in seen["zooms"]:
        print(f"{v['zoom']:<5} {v['place'][0]:9.5f},{v['place'][1]:9.5f}  {v['labels']:>5}  {v['plots']:>14}  "
              f"{v['inside']:>9}  {len(v['outside']):>10}  {v['boxOutside']:>7}  {v['duplicates']:>5}  {len(v['overlaps']):>8}  "
              f"{len(v['missing']):>7}")
    upto = [v for v in seen["zooms"] if v["zoom"] <= 18.5]
    print(f"zooms 12 to 18.5: {sum(v['plots'] for v in upto)} parcel numbers, "
          f"{sum(len(v['outside']) for v in upto)} off their parcel, "
          f"{sum(len(v['overlaps']) for v in upto)} overlapping names of {sum(v['labels'] for v in upto)}")
    choice = seen["parcelChoice"]
    print(f"search {args.search!r}: first match {seen['parcelMatches'][0]['title']}, "
          f"{seen['parcelMatches'][0]['detail']}; popup {choice['fields'].get('PLOT_NO')} {choice['fields'].get('CADZONE')}, "
          f"on the parcel: {int(choice['fields']['ID']) in choice['underPopup']}")


if __name__ == "__main__":
    main()
