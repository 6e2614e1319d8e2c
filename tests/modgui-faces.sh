#!/usr/bin/env bash
# MOD's pedals as mod-ui shows them: the bundle's modgui files served as
# mod-ui serves them (tests/modgui-server.py: a static handler rooted at each
# modgui's resources directory, refusing any file outside it), and a board
# of every plugin of the bundle opened in headless Chromium
# (tests/modgui-board.js says what is checked of each pedal). Fails on a
# refused or missing file, a missing pedal, a control without its knob or
# switch, or a broken thumbnail or screenshot.
#
#   modgui-faces.sh BUNDLE_DIR SCHEMA_DIR   (SCHEMA_DIR: LV2's schema bundles)
# Exits 77 (skipped) when Chromium or python3 is not installed.
set -euo pipefail
bundle=$(cd "$1" && pwd) spec=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scripts=$here/../scripts/modgui
for tool in "${QUORVANE_CHROMIUM:-chromium}" python3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (scripts/test.sh installs it): skipped"; exit 77; }
done
. "$scripts/face.sh"

work=$(mktemp -d) server=""
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
# The built bundle and LV2's schemas, nothing else that is installed.
export LV2_PATH=${bundle%/*}:$spec

mkdir "$work/page"
uris=$(lv2ls | grep '^http://quorvane.audio/lv2/') || { echo "FAIL no plugin in $bundle"; exit 1; }
{
  echo 'const plugins = ['
  for uri in $uris; do echo "{uri: '$uri', ports: $(ports_js "$uri")},"; done
  echo '];'
} >"$work/page/plugins.js"
cp "$scripts/film.js" "$here/modgui-board.js" "$work/page/"
cat >"$work/page/board.html" <<'HTML'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><link rel="icon" href="data:,">
<style>#board { display: flex; flex-wrap: wrap; gap: 40px 120px; padding: 20px 120px; align-items: flex-start; }</style>
</head><body><div id="board"></div>
<pre id="result">did not finish</pre>
<script src="plugins.js"></script><script src="film.js"></script><script src="modgui-board.js"></script>
</body></html>
HTML

python3 "$here/modgui-server.py" "$work/page" "$work/port" "$work/refused" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] || sleep 0.1; done
[ -s "$work/port" ] || { echo "FAIL the server did not start"; exit 1; }
# Three pedals a row, every one in the window (where clicks are tested).
height=$((700 * ($(wc -w <<<"$uris") + 2) / 3))
result=$(headless "$work/chromium" --no-proxy-server --window-size=1400,$height \
  --virtual-time-budget=10000 --dump-dom "http://127.0.0.1:$(cat "$work/port")/board.html" \
  | sed -n '/^<pre id="result">/,/<\/pre>/p' | sed -e 's/<[^>]*>//g' -e 's/&amp;/\&/g') || true
echo "${result:-Chromium showed nothing}"
status=0
if [ -s "$work/refused" ]; then
  echo "FAIL files the server refused or did not have:"
  sed 's/^/  /' "$work/refused"
  status=1
fi
[ "$(grep -c '^ok ' <<<"$result")" -eq "$(wc -w <<<"$uris")" ] && ! grep -q '^FAIL' <<<"$result" || status=1
exit $status
