#!/usr/bin/env bash
# Each plugin in jalv, the console host of Debian, Raspberry Pi OS and
# Zynthian, under a JACK server of the test's own (the dummy backend: no
# audio device), with jack_probe playing a sine into the plugin and
# listening to what comes out:
# - every plugin of the bundle loads, and its output is finite and not
#   silent;
# - JACK sees a latency of 1024 frames on the ports of the plugins whose
#   traits (bundle/traits.tsv) have LATENCY, and none on the others;
# - jalv's console lists the presets, and a preset's values reach the
#   running plugin (Sunken skeleton moves a 1500 Hz sine 8 bins down, to
#   1125 Hz);
# - started with freeze on (`jalv -c freeze=1`), a COHERENT plugin holds the
#   first chord it hears, after the chord has stopped;
# - a plugin that saves its STATE, restored from a saved session's folder
#   (`jalv -l DIR`, made by state_folder with freeze on during a chord),
#   plays the hold with nothing coming in (a coherent one, the chord).
#
#   jalv-host.sh BUNDLE_DIR SCHEMA_DIR TRAITS_TSV JACK_PROBE STATE_FOLDER
#   (SCHEMA_DIR: LV2's schema bundles)
#
# Everything runs in a mount namespace of its own, with its own /dev/shm
# (where JACK keeps its shared memory, sockets and registry), /tmp, HOME and
# LV2_PATH (the built bundle and LV2's schemas, nothing else installed); the
# server and the clients are stopped, their files removed. Exits 77
# (skipped) when jackd, jalv or the probe is missing.
set -euo pipefail
bundle=$(cd "$1" && pwd) spec=$(cd "$2" && pwd) traits_tsv=$3 probe=$4 state_folder=$5
base=http://quorvane.audio/lv2/
# shellcheck source=own-namespace.sh
source "$(dirname "$0")/own-namespace.sh"

if [ -z "${QUORVANE_JALV_NAMESPACE:-}" ]; then
  for tool in jackd jalv jack_lsp jack_wait unshare setpriv stdbuf; do
    command -v $tool >/dev/null || { echo "$tool is not installed (scripts/deps.sh jackd2 jalv): skipped"; exit 77; }
  done
  [ -x "$probe" ] || { echo "no jack_probe (libjack-jackd2-dev was missing at configure time): skipped"; exit 77; }
  own_namespace QUORVANE_JALV_NAMESPACE "$0" "$@"
fi
private_mounts "$bundle" "$spec" "$probe" "$traits_tsv"

work=$(mktemp -d)
jackd_pid="" jalv_pid=""
stop() { # PID: TERM, then KILL after 5 s
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  exec 3>&- 2>/dev/null || true
  stop "$jalv_pid"
  stop "$jackd_pid"
  rm -rf "$work"
}
trap cleanup EXIT

export HOME=$work/home LV2_PATH=${bundle%/*}:$spec
export JACK_DEFAULT_SERVER=quorvane-test-$$ JACK_NO_START_SERVER=1
mkdir "$HOME"
# Should this script be killed (a CTest timeout), its children follow it.
orphan=(setpriv --pdeathsig KILL)
"${orphan[@]}" jackd --no-realtime --name "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 \
  >"$work/jackd.log" 2>&1 &
jackd_pid=$!
jack_wait --wait --timeout 10 >/dev/null 2>>"$work/jackd.log" || { cat "$work/jackd.log"; echo "FAIL jackd did not start"; exit 1; }

fails=0
fail() { echo "FAIL $*"; fails=$((fails + 1)); }
client=quorvane-test
# listen HZ: plays HZ into the plugin's first audio input for a second and
# prints jack_probe's report of its first output: frames N finite F rms R
# peak P hz H.
listen() { "$probe" "$in_port" "$out_port" "$1" 1; }
# heard REPORT [HZ]: what is wrong with the report, if anything, for a sound
# that must be finite, not silent, and (given HZ) at HZ (+-20).
heard() {
  local finite rms hz
  read -r _ _ _ finite _ rms _ _ _ hz <<<"$1"
  if [ "$finite" != 1 ]; then
    echo "output not finite ($1)"
  elif ! awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }'; then
    echo "output (nearly) silent ($1)"
  elif [ -n "${2:-}" ] && ! awk -v h="$hz" -v w="$2" 'BEGIN { exit !(h > w - 20 && h < w + 20) }'; then
    echo "output at $hz Hz, not $2 Hz ($1)"
  fi
}
# console COMMAND [PATTERN]: a command to jalv's console, then, given a
# PATTERN, up to 10 s for a line of its answer to match it (grep -E).
console() {
  local from
  from=$(wc -l <"$work/jalv.out")
  echo "$1" >&3
  [ -n "${2:-}" ] || return 0
  for _ in $(seq 200); do
    tail -n +"$((from + 1))" "$work/jalv.out" | grep -qE "$2" && return 0
    sleep 0.05
  done
  return 1
}

presets=$(grep -oE '^<[^>]+#[^>]+>$' "$bundle/presets.ttl" | tr -d '<>')
skeleton=${base}quorvane#sunken-skeleton
# The preset's values, as `SYMBOL VALUE` lines.
skeleton_values=$(awk -v p="<$skeleton>" '$1 == p { on = 1 } on && /lv2:symbol/ { gsub(/[";]/, "", $2); s = $2 }
  on && /pset:value/ { print s, $2 } on && /\.$/ { on = 0 }' "$bundle/presets.ttl")
[ -n "$skeleton_values" ] || fail "no preset $skeleton in presets.ttl"

# start_jalv [OPTION...] URI: jalv running the plugin, its console on fd 3,
# and its first audio input and output in $in_port and $out_port; fails,
# saying why, if it does not come up.
start_jalv() {
  mkfifo "$work/console"
  # Line-buffered, so that its answers can be read while it runs.
  "${orphan[@]}" stdbuf -oL jalv -x -n "$client" "$@" <"$work/console" >"$work/jalv.out" \
    2>"$work/jalv.err" &
  jalv_pid=$!
  exec 3>"$work/console"
  rm "$work/console"
  in_port="" out_port=""
  for _ in $(seq 100); do
    jack_lsp -p 2>/dev/null >"$work/ports" || true
    in_port=$(awk -v c="$client:" 'index($0, c) == 1 { p = $0 } /properties: input/ && p { print p; exit }' "$work/ports")
    out_port=$(awk -v c="$client:" 'index($0, c) == 1 { p = $0 } /properties: output/ && p { print p; exit }' "$work/ports")
    [ -n "$in_port" ] && [ -n "$out_port" ] && return 0
    kill -0 $jalv_pid 2>/dev/null || break
    sleep 0.1
  done
  fail "$name: jalv $* did not come up"
  sed 's/^/  /' "$work/jalv.out" "$work/jalv.err"
  stop_jalv
  return 1
}
stop_jalv() {
  exec 3>&-
  stop "$jalv_pid"
  jalv_pid=""
}
# levels_above REPORT MIN: whether every level the report ends with is above MIN.
levels_above() {
  awk -v m="$2" '{ for (i = NF; $i != "levels"; --i) if ($i + 0 <= m) exit 1 }' <<<"$1"
}
chord=220+277.18+329.63 # A minor, 0.5 in all

count=0
for uri in $(lv2ls | grep "^$base"); do
  count=$((count + 1))
  name=${uri#"$base"}
  traits=";$(awk -F '\t' -v u="$uri" '$1 == u { print $2 }' "$traits_tsv");"
  before=$fails
  start_jalv "$uri" || continue

  # Latency, as JACK passes it on through the plugin's ports.
  jack_lsp -l "$client:" >"$work/latency"
  lat=$(grep -c 'latency = \[ 1024 1024 \]' "$work/latency" || true)
  other=$(grep 'latency = ' "$work/latency" | grep -vcE '\[ (0 0|1024 1024) \]' || true)
  if [[ $traits == *";LATENCY;"* ]]; then
    want=1024
    [ "$lat" -gt 0 ] && [ "$other" -eq 0 ] || lat=wrong
  else
    want=0
    [ "$lat" -eq 0 ] && [ "$other" -eq 0 ] || lat=wrong
  fi
  if [ "$lat" = wrong ]; then
    fail "$name: JACK does not see a latency of $want frames:"
    sed 's/^/  /' "$work/latency"
  fi

  report=$(listen 1500) || true
  problem=$(heard "$report" 1500)
  [ -z "$problem" ] || fail "$name at its defaults: $problem"

  # jalv 1.6.6 applies `preset URI` only once `presets` has listed them
  # (on its own it does nothing, and says nothing): a console user lists
  # them first anyway, to find the URI.
  console presets "$(tail -n 1 <<<"$presets")" || true
  for p in $presets; do
    grep -qE "^(> )?$p " "$work/jalv.out" || fail "$name: jalv's console does not list $p"
  done
  console "preset $skeleton"
  from=$(wc -l <"$work/jalv.out")
  console controls "^(> )?threshold = " || true
  tail -n +"$((from + 1))" "$work/jalv.out" | sed 's/^> //' >"$work/controls"
  while read -r symbol value; do
    awk -v s="$symbol" -v v="$value" '$1 == s && $2 == "=" && ($3 - v) ^ 2 < 1e-12 { found = 1 }
      END { exit !found }' "$work/controls" \
      || fail "$name: after the preset, jalv's console does not show $symbol = $value"
  done <<<"$skeleton_values"
  report=$(listen 1500) || true
  problem=$(heard "$report" 1125)
  [ -z "$problem" ] || fail "$name with Sunken skeleton: $problem"
  stop_jalv
  [ $fails -ne $before ] || echo "ok $name: loads, latency $want, sounds, takes a preset from the console"

  # The hold of the first chord: with freeze on from the start, a coherent
  # plugin waits for sound and holds the first it hears; the chord sounds
  # for 0.5 s, then the input is silent while the output is recorded.
  if [[ $traits == *";COHERENT;"* ]] && start_jalv -c freeze=1 "$uri"; then
    report=$("$probe" "$in_port" "$out_port" "$chord:lead" 1 "$chord") || true
    if levels_above "$report" 0.02; then
      echo "ok $name: freeze on from the start holds the first chord"
    else
      fail "$name, started with freeze on: does not hold the first chord ($report)"
    fi
    stop_jalv
  fi

  # A saved session restored: silence in, the hold out.
  if [[ $traits == *";STATE;"* ]]; then
    if "$state_folder" "$uri" "$work/state-$name" "$chord" && start_jalv -l "$work/state-$name" "$uri"; then
      report=$("$probe" "$in_port" "$out_port" 0 1 "$chord") || true
      problem=$(heard "$report")
      [[ $traits != *";COHERENT;"* ]] || levels_above "$report" 0.02 || problem="not the chord held"
      if [ -z "$problem" ]; then
        echo "ok $name: jalv -l restores the hold from a saved session"
      else
        fail "$name restored by jalv -l from a saved session: $problem ($report)"
      fi
      stop_jalv
    else
      fail "$name: no saved session to restore"
    fi
  fi
done
[ $count -gt 0 ] || fail "no plugin of $base in $bundle"
[ $fails -eq 0 ]
