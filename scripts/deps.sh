#!/usr/bin/env bash
# Installs the Debian packages that quorvane's build and demo need, plus any
# named on the command line (the test scripts add theirs). Idempotent: asks
# apt only for what is missing, through sudo when not root.
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
# Packages for another architecture (name:arch) need it enabled first.
for p in "${missing[@]}"; do
  arch=${p#*:}
  if [ "$arch" != "$p" ] && [ "$arch" != "$(dpkg --print-architecture)" ] \
    && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${sudo[@]}" dpkg --add-architecture "$arch"
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
"${sudo[@]}" apt-get "${lock[@]}" install -y -q --no-install-recommends "${missing[@]}" \
  || { echo "error: could not install: ${missing[*]}" >&2; exit 1; }
