#!/usr/bin/env bash
# Installs the Debian packages that quorvane's build and demo need, plus any
# named on the command line (the test scripts add theirs). Idempotent: asks
# apt only for what is missing, through sudo when not root. It only ever
# adds packages of this machine's architecture: it stops, before installing
# anything, if apt would upgrade, downgrade or remove an installed package
# (a newer dependency, say) and names them; and it refuses another
# architecture's packages (scripts/roots.sh: they belong in clean roots).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  lv2-dev liblilv-dev lilv-utils
  libsndfile1-dev sox
  libcairo2-dev libx11-dev
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing from Debian: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "error: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
for p in "${missing[@]}"; do
  arch=${p#*:}
  if [ "$arch" != "$p" ] && [ "$arch" != "$(dpkg --print-architecture)" ]; then
    echo "error: $p is another architecture's package: it belongs in a clean root, not here" >&2
    exit 1
  fi
done
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to let JACK run with real-time priority: no, the tests
# run their own server without it, and a machine's limits stay as they were.
if printf '%s\n' "${missing[@]}" | grep -qx jackd2; then
  echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo[@]}" debconf-set-selections
fi
# Other builds on the machine may hold apt's locks for a while: wait for them.
lock=(-o DPkg::Lock::Timeout=600)
"${sudo[@]}" apt-get "${lock[@]}" update -q || { echo "error: apt-get update failed" >&2; exit 1; }
install=(install -q --no-install-recommends "${missing[@]}")
# apt shows an installed package it would replace as "Inst NAME [OLD] ..."
# and one it would remove as "Remv NAME [OLD]".
changed=$(apt-get -s "${install[@]}" | sed -nE 's/^(Inst|Remv) ([^ ]+) \[([^]]+)\].*$/\2 \3/p') \
  || { echo "error: apt cannot install: ${missing[*]}" >&2; exit 1; }
if [ -n "$changed" ]; then
  echo "error: installing ${missing[*]} would upgrade or remove these installed packages" >&2
  echo "(name, version now), which is left to you (apt-get upgrade, then run this again):" >&2
  echo "$changed" | sed 's/^/  /' >&2
  exit 1
fi
"${sudo[@]}" apt-get "${lock[@]}" -y "${install[@]}" \
  || { echo "error: could not install: ${missing[*]}" >&2; exit 1; }
