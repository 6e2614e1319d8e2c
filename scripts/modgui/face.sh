# shellcheck shell=bash
# Sourced by scripts/modgui-images.sh and tests/modgui-faces.sh: the page of
# a plugin's pedal as mod-ui shows it, the plugin's ports, and Debian's
# headless Chromium to open them.

headless_chromium=${QUORVANE_CHROMIUM:-chromium}

# headless DIR ARGS... URL (Chromium's own options, then the page): a run in
# a home, profile and temporary directory of its own under DIR, in a session
# of its own that is killed afterwards, so that nothing of it outlives the
# call or lands outside DIR.
headless() {
  local dir=$1 status=0 pid
  shift
  mkdir -p "$dir/home" "$dir/profile" "$dir/tmp"
  # Without a network, a display or a sandbox (the tests run as root); no
  # background work, no crash reporter.
  HOME="$dir/home" TMPDIR="$dir/tmp" XDG_CONFIG_HOME="$dir/home/.config" \
    XDG_CACHE_HOME="$dir/home/.cache" setsid timeout 60 "$headless_chromium" \
    --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --disable-breakpad --disable-crash-reporter --disable-extensions \
    --no-default-browser-check --hide-scrollbars --mute-audio \
    --user-data-dir="$dir/profile" "$@" 2>"$dir/chromium.log" &
  pid=$!
  wait $pid || status=$?
  # Whatever of its session is left (helpers that outlive the browser).
  kill -KILL -- -"$pid" 2>/dev/null || true
  if [ $status -ne 0 ]; then
    echo "chromium failed ($status):" >&2
    tail -n 20 "$dir/chromium.log" >&2
  fi
  return $status
}

# ports_js URI: the plugin's ports, as the built bundle describes them, as
# a JavaScript list of {symbol, kind, min, max, def, toggled, enabled} (kind:
# "input control", "output audio", ...; enabled: the host's bypass). lv2info
# reads LV2_PATH.
ports_js() {
  lv2info "$1" | awk '
    function flush() { if (sym != "") printf "  {symbol: \"%s\", kind: \"%s %s\", min: %s, max: %s, def: %s, toggled: %s, enabled: %s},\n", sym, dir, type, min, max, def, toggled, enabled }
    /^\tPort [0-9]+:/ { flush(); sym = ""; dir = ""; type = ""; min = "NaN"; max = "NaN"; def = "NaN"; toggled = "false"; enabled = "false"; inport = 1; next }
    !inport { next }
    /lv2core#InputPort/ { dir = "input" }
    /lv2core#OutputPort/ { dir = "output" }
    /lv2core#ControlPort/ { type = "control" }
    /lv2core#AudioPort/ { type = "audio" }
    /lv2core#toggled/ { toggled = "true" }
    /Designation: .*lv2core#enabled/ { enabled = "true" }
    /^\t\tSymbol:/ { sym = $2 }
    /^\t\tMinimum:/ { min = $2 }
    /^\t\tMaximum:/ { max = $2 }
    /^\t\tDefault:/ { def = $2 }
    END { flush() }
    BEGIN { print "[" }
    END { print "]" }'
}

# face_page BUNDLE SUFFIX OUT [SCRIPT...]: a page at OUT with the pedal of
# plugin SUFFIX of BUNDLE, its template and stylesheet rendered as mod-ui
# renders them for a plugin ({{{ns}}}, the only variable they use, empty),
# /resources/ pointing at the bundle's resources directory (modgui/) as mod-ui serves
# it, and the SCRIPT files run after the face is in the page.
face_page() {
  local bundle=$1 suffix=$2 out=$3
  shift 3
  local gui=$bundle/modgui res
  res="file://$(cd "$gui" && pwd)/"
  local template=$gui/icon-$suffix.html css=$gui/stylesheet.css
  [ -f "$template" ] || { echo "no $template" >&2; return 1; }
  # mod-ui would leave any other variable empty; a face that needs one
  # would be missing something, so it is an error here.
  if sed 's/{{{ns}}}//g' "$template" "$css" | grep -q '{{'; then
    echo "$template or its stylesheet uses Mustache variables besides {{{ns}}}" >&2
    return 1
  fi
  {
    printf '<!DOCTYPE html>\n<html><head><meta charset="utf-8">\n<style>\n'
    printf 'html, body { margin: 0; padding: 0; background: transparent; }\n'
    printf '#face { display: inline-block; }\n'
    sed -e 's/{{{ns}}}//g' -e "s#/resources/#$res#g" "$css"
    printf '</style></head><body><div id="face">\n'
    sed -e 's/{{{ns}}}//g' -e "s#/resources/#$res#g" "$template"
    printf '</div>\n'
    for script; do
      printf '<script>\n'
      cat "$script"
      printf '</script>\n'
    done
    printf '</body></html>\n'
  } >"$out"
}
