#!/usr/bin/env bash
# Draws docs/ui-coherent-frozen.png, the window in the README and in
# docs/ui.md: quorvane coherent in jalv.gtk3 (on Xvfb, under a JACK server
# of its own, dummy backend) with some blur, an 8-bin shift and a 3% gate,
# holding a chord that jack_probe plays. Needs a build with the tests
# (build/tests/jack_probe, build/tests/x11_probe) and scripts/deps.sh xvfb
# jackd2 jalv.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh xvfb jackd2 jalv
export LV2_PATH=$PWD/build/lv2 JACK_DEFAULT_SERVER=quorvane-shot-$$ JACK_NO_START_SERVER=1
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done' EXIT
display=$(mktemp)
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$display")
rm "$display"
jackd --no-realtime --name "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
pids=("$!" "${pids[@]}")
jack_wait --wait --timeout 10 >/dev/null
jalv.gtk3 -n shot -c blur=0.15 -c shift=0.0625 -c threshold=0.03 \
  http://quorvane.audio/lv2/quorvane-coherent >/dev/null 2>&1 &
pids=("$!" "${pids[@]}")
sleep 2.5
build/tests/jack_probe shot:in shot:out 220,261.6,329.6,440,523.2,659.2,880,1318.5 6 >/dev/null &
sleep 2
build/tests/x11_probe click quorvane_ui 70 -60 # freeze
sleep 2
build/tests/x11_probe shot quorvane_ui docs/ui-coherent-frozen.png
wait "$!"
