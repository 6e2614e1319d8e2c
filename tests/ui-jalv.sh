#!/usr/bin/env bash
# The plugin window in a real host: each plugin that has one, in Debian's
# jalv.gtk3 (which embeds the X11 window through suil), on an X server and
# a JACK server of the test's own (Xvfb, the dummy backend), with jack_probe
# playing into the plugin and x11_probe looking at the window:
# - the window draws (many colours, not one);
# - a chord played through the plugin moves the spectrum;
# - a click on freeze sets the freeze port: a tone played before the click
#   is still what comes out after another tone has replaced it (near 1 kHz:
#   quorvane aligned repeats its captured block, on a grid of 187.5 Hz).
# Closing and reopening the window while the plugin runs, which jalv cannot
# do, is a case of the lilv tests that runs here, on this X server.
#
#   ui-jalv.sh BUNDLE_DIR SCHEMA_DIR JACK_PROBE X11_PROBE LILV_TESTS
#
# Runs in a mount namespace of its own (its own /dev/shm, /tmp, HOME and LV2_PATH),
# like jalv-host.sh; everything it starts is stopped. Exits 77 (skipped)
# when a tool is missing (scripts/test.sh installs them).
set -euo pipefail
bundle=$(cd "$1" && pwd) spec=$(cd "$2" && pwd) probe=$3 xprobe=$4 lilv_tests=$5
# shellcheck source=own-namespace.sh
source "$(dirname "$0")/own-namespace.sh"

if [ -z "${QUORVANE_UI_NAMESPACE:-}" ]; then
  for tool in Xvfb jackd jalv.gtk3 jack_lsp jack_wait unshare setpriv; do
    command -v $tool >/dev/null || { echo "$tool is not installed (scripts/deps.sh xvfb jackd2 jalv): skipped"; exit 77; }
  done
  [ -x "$probe" ] && [ -x "$xprobe" ] || { echo "no jack_probe or x11_probe (JACK, cairo or X11 headers missing at configure time): skipped"; exit 77; }
  own_namespace QUORVANE_UI_NAMESPACE "$0" "$@"
fi
private_mounts "$bundle" "$spec" "$probe" "$xprobe" "$lilv_tests"

work=$(mktemp -d)
pids=()
stop() { # PID: TERM, then KILL after 5 s
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
  rm -rf "$work"
}
trap cleanup EXIT
orphan=(setpriv --pdeathsig KILL)

export HOME=$work/home LV2_PATH=${bundle%/*}:$spec
export JACK_DEFAULT_SERVER=quorvane-ui-$$ JACK_NO_START_SERVER=1
mkdir "$HOME"
# Xvfb picks a free display and names it.
"${orphan[@]}" Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$work/display" \
  >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; echo "FAIL Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")
"${orphan[@]}" jackd --no-realtime --name "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 \
  >"$work/jackd.log" 2>&1 &
pids+=($!)
jack_wait --wait --timeout 10 >/dev/null 2>>"$work/jackd.log" || { cat "$work/jackd.log"; echo "FAIL jackd did not start"; exit 1; }

fails=0
fail() { echo "FAIL $*"; fails=$((fails + 1)); }
client=quorvane-ui
count=0
# Every plugin with a window, as the manifest names it.
for uri in $(grep -oE '^<[^>]+#ui>$' "$bundle/manifest.ttl" | sed 's/^<//; s/#ui>$//'); do
  count=$((count + 1))
  name=${uri##*/}
  "${orphan[@]}" jalv.gtk3 -n "$client" "$uri" >"$work/jalv.out" 2>&1 &
  jalv=$!
  pids+=("$jalv")
  in_port="" out_port=""
  for _ in $(seq 100); do
    jack_lsp -p 2>/dev/null >"$work/ports" || true
    in_port=$(awk -v c="$client:" 'index($0, c) == 1 { p = $0 } /properties: input/ && p { print p; exit }' "$work/ports")
    out_port=$(awk -v c="$client:" 'index($0, c) == 1 { p = $0 } /properties: output/ && p { print p; exit }' "$work/ports")
    [ -n "$in_port" ] && [ -n "$out_port" ] && break
    sleep 0.1
  done
  sleep 1 # the window's first drawing
  if [ -z "$in_port" ] || ! shot=$("$xprobe" shot quorvane_ui "$work/quiet.png"); then
    fail "$name: jalv.gtk3 did not open its window"
    sed 's/^/  /' "$work/jalv.out"
    stop "$jalv"
    continue
  fi
  read -r size _ colours <<<"$shot"
  height=${size#*x}
  [ "$colours" -gt 20 ] || fail "$name: the window does not draw ($shot)"

  # A chord (A minor, 220-330 Hz) into the plugin: the spectrum above the
  # controls moves.
  "$probe" "$in_port" "$out_port" 220+261.6+329.6 1.5 >/dev/null &
  sleep 1.2
  "$xprobe" shot quorvane_ui "$work/chord.png" >/dev/null
  wait $!
  moved=$("$xprobe" diff "$work/quiet.png" "$work/chord.png" 0 $((height - 130)))
  [ "$moved" -gt 20 ] || fail "$name: the chord did not move the spectrum ($moved rows)"

  # Freeze by the window's button while 1 kHz plays; then 3 kHz replaces it
  # at the input, and the output still holds 1 kHz.
  "$probe" "$in_port" "$out_port" 1000 1.5 >/dev/null &
  sleep 1
  "$xprobe" click quorvane_ui 70 -60
  wait $!
  report=$("$probe" "$in_port" "$out_port" 3000 1)
  read -r _ _ _ _ _ _ _ _ _ hz <<<"$report"
  awk -v h="$hz" 'BEGIN { exit !(h > 850 && h < 1150) }' \
    || fail "$name: a click on freeze did not hold 1 kHz (the output: $report)"
  stop "$jalv"
done
[ "$count" -ge 5 ] || fail "only $count plugins with a window in the manifest"
QUORVANE_TEST_DISPLAY=$DISPLAY "$lilv_tests" --gtest_filter='*TheWindowClosesAndOpensAgain*' \
  >"$work/reopen.out" 2>&1 && grep -q '^\[       OK \]' "$work/reopen.out" \
  || { cat "$work/reopen.out"; fail "closing and reopening the window"; }
[ "$fails" -eq 0 ] || exit 1
echo "ok: $count plugin windows in jalv.gtk3"
