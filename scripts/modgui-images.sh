#!/usr/bin/env bash
# Makes the pictures of MOD's pedals, with Debian's headless Chromium, into
# bundle/modgui/ (commit them; the build copies them into the bundle):
# - knob*.png and footswitch-*.png, the film strips, drawn as
#   SVG by scripts/modgui/sprites.html;
# - screenshot-SUFFIX.png (the face at its real size) and
#   thumbnail-SUFFIX.png, from each plugin's face in a build's bundle, so
#   the build's faces must be up to date (configure after changing
#   bundle/modgui/ or bundle/plugins.cmake, and run this again after making
#   new strips, whose pictures the faces show).
#
#   scripts/modgui-images.sh [BUILD_DIR]    (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bundle=$build/lv2/quorvane.lv2
src=bundle/modgui
[ -d "$bundle/modgui" ] || { echo "no $bundle/modgui: configure $build first" >&2; exit 1; }
scripts/deps.sh chromium fonts-dejavu-core

. scripts/modgui/face.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The strips, each at the size its page gives in its title.
sprites=$PWD/scripts/modgui/sprites.html
for name in knob knob-bipolar footswitch-toggle footswitch-bypass; do
  size=$(headless "$work/c" --dump-dom "file://$sprites?$name" | sed -n 's:.*<title>\([0-9]*x[0-9]*\)</title>.*:\1:p')
  [ -n "$size" ] || { echo "sprites.html drew no $name" >&2; exit 1; }
  headless "$work/c" --default-background-color=00000000 --window-size="${size/x/,}" \
    --screenshot="$src/$name.png" "file://$sprites?$name" >/dev/null
  echo "$src/$name.png: $size"
  # The faces show the new strips from the build's copy of them.
  cp "$src/$name.png" "$bundle/modgui/"
done

# Each face with the plugin's defaults, measured, then photographed at its
# size and at a third of it.
export LV2_PATH=$PWD/$build/lv2:$PWD/$build/tests/lv2-spec
cat >"$work/show.js" <<'JS'
setFilms(ports, {}).then(problems => {
  const r = document.querySelector('#face > *').getBoundingClientRect();
  document.title = problems.length ? problems.join('; ') : `${Math.ceil(r.width)}x${Math.ceil(r.height)}`;
});
JS
budget=(--virtual-time-budget=5000)
for template in "$bundle"/modgui/icon-*.html; do
  suffix=${template##*/icon-}
  suffix=${suffix%.html}
  { printf 'const ports = '; ports_js "http://quorvane.audio/lv2/$suffix"; } >"$work/ports.js"
  face_page "$bundle" "$suffix" "$work/face.html" "$work/ports.js" scripts/modgui/film.js "$work/show.js"
  title=$(headless "$work/c" "${budget[@]}" --dump-dom "file://$work/face.html" | sed -n 's:.*<title>\(.*\)</title>.*:\1:p')
  [[ $title =~ ^([0-9]+)x([0-9]+)$ ]] || { echo "the face of $suffix: ${title:-does not show}" >&2; exit 1; }
  w=${BASH_REMATCH[1]} h=${BASH_REMATCH[2]}
  headless "$work/c" "${budget[@]}" --default-background-color=00000000 --window-size="$w,$h" \
    --screenshot="$src/screenshot-$suffix.png" "file://$work/face.html" >/dev/null
  # The thumbnail, a third of the size: Chromium scales the window by half
  # at most, and paints small windows only in part, so the page is zoomed
  # to two thirds in a window as much smaller, then scaled by half.
  sed "s|#face { display: inline-block; }|#face { display: inline-block; zoom: calc(2 / 3); }|" \
    "$work/face.html" >"$work/thumb.html"
  headless "$work/c" "${budget[@]}" --default-background-color=00000000 \
    --window-size="$(((2 * w + 2) / 3)),$(((2 * h + 2) / 3))" --force-device-scale-factor=0.5 \
    --screenshot="$src/thumbnail-$suffix.png" "file://$work/thumb.html" >/dev/null
  echo "$src/screenshot-$suffix.png: ${w}x$h, and its thumbnail"
done
echo "Now configure $build again so that the bundle takes the new pictures."
