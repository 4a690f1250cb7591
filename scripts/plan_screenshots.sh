#!/usr/bin/env bash
# The README's pictures of the plan documents: renders the deed plan and the
# site plan of one parcel (default 1) with plancli and saves their pages as
# docs/deed-plan.png and docs/site-plan.png at 90 dpi.
#   scripts/plan_screenshots.sh [PARCEL_ID]
# The database is plancli's: DATABASE_URL, else .services/demo.env (the demo's
# data), else .services/env.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)"
PYTHON="${PYTHON:-python3}"
PARCEL="${1:-1}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cd "$ROOT/host"
"$PYTHON" -W ignore -m plancli deed "$PARCEL" --person-name "Ada Obi" --no-progress -o "$work"
"$PYTHON" -W ignore -m plancli site "$PARCEL" --no-progress -o "$work"
pdftoppm -r 90 -png -singlefile "$work/DeedPlan_$PARCEL.pdf" "$ROOT/docs/deed-plan"
pdftoppm -r 90 -png -singlefile "$work/SitePlan_$PARCEL.pdf" "$ROOT/docs/site-plan"
ls -l "$ROOT/docs/deed-plan.png" "$ROOT/docs/site-plan.png"
