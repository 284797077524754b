#!/usr/bin/env bash
# Makes the README's pictures of the report page, one per section (docs/report-*.png): writes a
# day of the benchmarks' fixture history (one snapshot a minute, 10 processes), runs `joulix
# report` on it, and photographs each section with a chart or a table in headless Chromium, laid
# out 1024 px wide and drawn at 0.8 scale (819 px) to keep the files small.
# Usage: scripts/report-screenshots.sh [BUILD_DIR]   (default build/default, configured if new)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ ! -f "$build/build.ninja" ]; then
    [ "$build" = build/default ] || { echo "no build in $build" >&2; exit 1; }
    cmake --preset default >/dev/null
fi
cmake --build "$build" --target joulix history_fixture_writer

width=1024
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build=$(realpath "$build")
(cd "$work" && "$build/bench/history_fixture_writer" history.sqlite 1 60 10 &&
    "$build/cli/joulix" report --db history.sqlite --window 24h --out report.html)

chromium_run() {
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --hide-scrollbars --user-data-dir="$(mktemp -d -p "$work")" "$@" 2>/dev/null
}

# One page per section: the report's head and style, then the header lines or one section. A
# second copy, with a script that writes the laid-out height into an attribute, gives the height
# of the picture.
python3 - "$work" <<'PY'
import pathlib, re, sys
work = pathlib.Path(sys.argv[1])
page = (work / "report.html").read_text()
head, body = page.split("<body>\n", 1)
body = body.replace("</body></html>\n", "")
parts = re.split(r"(?=<h2>)", body)
measure_head = re.sub(r'<meta http-equiv="Content-Security-Policy"[^>]*>', "", head)
script = "<script>document.documentElement.dataset.height=document.documentElement.scrollHeight</script>"
for part in parts:
    heading = re.match(r"<h2>([^<]*)</h2>", part)
    # A section with neither chart nor table is one line of text: no picture.
    if heading and "<svg" not in part and "<table" not in part:
        continue
    name = re.sub(r"[^a-z]+", "-", heading.group(1).lower()).strip("-") if heading else "header"
    (work / f"{name}.html").write_text(f"{head}<body>\n{part}</body></html>\n")
    (work / f"{name}.measure.html").write_text(f"{measure_head}<body>\n{part}{script}</body></html>\n")
    print(name)
PY
ls "$work"/*.measure.html >/dev/null
mkdir -p docs
for measure in "$work"/*.measure.html; do
    name=$(basename "$measure" .measure.html)
    height=$(chromium_run --window-size="$width,100" --dump-dom "file://$measure" |
        grep -o 'data-height="[0-9]*"' | grep -o '[0-9]*')
    [ -n "$height" ] || { echo "could not measure the section $name" >&2; exit 1; }
    chromium_run --window-size="$width,$height" --force-device-scale-factor=0.8 --screenshot="$PWD/docs/report-$name.png" \
        "file://$work/$name.html" >/dev/null
    echo "docs/report-$name.png: ${width}x$height, $(stat -c %s "docs/report-$name.png") bytes"
done
