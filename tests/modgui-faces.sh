#!/usr/bin/env bash
# Each plugin's pedal for MOD, as mod-ui shows it: its template and
# stylesheet rendered for the plugin and opened in headless Chromium with the
# plugin's defaults (tests/modgui-check.js says what is checked), and the
# pictures that modgui.ttl names, the screenshot of the face's size.
#
#   modgui-faces.sh BUNDLE_DIR SCHEMA_DIR   (SCHEMA_DIR: LV2's schema bundles)
# Exits 77 (skipped) when Chromium is not installed.
set -euo pipefail
bundle=$(cd "$1" && pwd) spec=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scripts=$here/../scripts/modgui
command -v "${QUORVANE_CHROMIUM:-chromium}" >/dev/null \
  || { echo "chromium is not installed (scripts/deps.sh chromium): skipped"; exit 77; }
. "$scripts/face.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The built bundle and LV2's schemas, nothing else that is installed.
export LV2_PATH=${bundle%/*}:$spec

png_size() { # FILE: WxH, or nothing if not a PNG
  [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || return 0
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", $3 * 256 + $4, $7 * 256 + $8 }'
}

status=0
fail() { echo "FAIL $*"; status=1; }
count=0
for uri in $(lv2ls | grep '^http://quorvane.audio/lv2/'); do
  suffix=${uri#http://quorvane.audio/lv2/}
  count=$((count + 1))
  # Every file modgui.ttl names for the plugin is in the bundle.
  files=$(awk -v uri="<$uri>" '$1 == uri { on = 1; next } on && /^$/ { on = 0 } on' \
    "$bundle/modgui.ttl" | grep -o '<modgui/[^>]*>' | tr -d '<>' || true)
  [ -n "$files" ] || { fail "$suffix: no modgui in modgui.ttl"; continue; }
  for f in $files; do
    [ -e "$bundle/$f" ] || fail "$suffix: modgui.ttl names $f, which is not in the bundle"
  done

  ports_js "$uri" >"$work/ports.js"
  face_page "$bundle" "$suffix" "$work/face.html" "$work/ports.js" "$scripts/film.js" \
    "$here/modgui-check.js" || { fail "$suffix: no page"; continue; }
  sed -i 's|</body>|<pre id="result">did not finish</pre></body>|' "$work/face.html"
  result=$(headless "$work/chromium" --virtual-time-budget=10000 --dump-dom "file://$work/face.html" \
    | sed -n '/^<pre id="result">/,/<\/pre>/p' | sed -e 's/<[^>]*>//g') || true
  if [[ $result != PASS* ]]; then
    fail "$suffix:"
    echo "${result:-Chromium showed nothing}" | sed 's/^/  /'
    continue
  fi
  size=${result#PASS }
  shot=$(png_size "$bundle/modgui/screenshot-$suffix.png")
  thumb=$(png_size "$bundle/modgui/thumbnail-$suffix.png")
  [ "$shot" = "$size" ] || fail "$suffix: screenshot ${shot:-missing}, the face is $size" \
    "(scripts/modgui-images.sh makes it)"
  [ -n "$thumb" ] && [ "${thumb%x*}" -lt "${size%x*}" ] \
    || fail "$suffix: thumbnail ${thumb:-missing}, not smaller than the face"
  echo "ok $suffix: face $size, every control, the bypass and the jacks shown"
done
[ $count -gt 0 ] || fail "no plugin in $bundle"
exit $status
