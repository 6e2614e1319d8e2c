#!/usr/bin/env bash
# Proves the packages where a user installs them (after scripts/test.sh's
# native and Arm runs, whose build/ and build-arm/ it renders against):
#
# amd64: scripts/package.sh builds everything into dist/; the amd64 packages
#   are installed with apt on this machine, lv2ls must list both plugins and
#   lv2apply render through each exactly what build/'s library renders, and
#   the suite's host tests must still see the build, not the installed copy;
#   purging them must leave none of their files behind. (They are purged
#   whatever happens.)
# arm64: a clean arm64 Debian root is made by mmdebstrap from this machine's
#   Debian package sources; the root's own apt installs quorvane-lv2 and
#   lilv-utils, running under qemu-user through binfmt_misc; there, lv2apply
#   renders through the installed plugin, and through build-arm/'s bundle,
#   and the two files must be equal byte for byte.
#
# Needs root (or sudo) for the system install, binfmt_misc and the root.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/test-packages.sh (see the output above)" >&2' ERR

scripts/deps.sh mmdebstrap qemu-user-static binfmt-support arch-test
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

for ref in build/lv2/quorvane.lv2/quorvane.so build-arm/lv2/quorvane.lv2/quorvane.so; do
  [ -f "$ref" ] || { echo "error: no $ref: run scripts/test.sh (or test-arm.sh) first" >&2; exit 1; }
done

start=$SECONDS
scripts/package.sh
version=$(dpkg-parsechangelog -S Version)
uri=http://quorvane.audio/lv2/quorvane
work=$PWD/build-deb/proof
rm -rf "$work"
mkdir -p "$work"

# Every stage at work: a sweep with noise over it, 2 s at 48 kHz. AU keeps
# the samples as 32-bit floats and, unlike WAV, writes no time stamp into the
# header, so two renders of the same samples are the same bytes.
sox -q -n -r 48000 -c 1 -e floating-point -b 32 "$work/in.au" \
  synth 2 sine 110-3520 synth 2 pinknoise mix vol 0.5
controls=(-c blur 0.3 -c shift 0.125 -c threshold 0.02 -c mix 0.7)

not_silent() { # FILE
  local rms
  rms=$(sox "$1" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')
  awk -v r="$rms" 'BEGIN { exit !(r > 0.01) }' || { echo "error: $1 is silent (RMS $rms)" >&2; return 1; }
}

echo "== amd64: apt-get install, lv2ls, lv2apply, purge"
native=$(dpkg --print-architecture)
debs=("$PWD/dist/quorvane-lv2_${version}_$native.deb" "$PWD/dist/quorvane-render_${version}_$native.deb")
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q)
purge() { "${apt[@]}" purge quorvane-lv2 quorvane-render >/dev/null || true; }
trap 'purge; echo "FAILED: scripts/test-packages.sh (see the output above)" >&2' ERR
"${apt[@]}" install "${debs[@]}"
files=$(dpkg-query -L quorvane-lv2 quorvane-render)
# Only what the packages installed: /usr/lib/lv2 and nothing else.
for u in "$uri" "$uri-aligned"; do
  LV2_PATH=/usr/lib/lv2 lv2ls | grep -qxF "$u" || { echo "error: lv2ls does not list $u" >&2; false; }
  LV2_PATH=/usr/lib/lv2 lv2apply -i "$work/in.au" -o "$work/installed.au" "${controls[@]}" "$u"
  LV2_PATH=$PWD/build/lv2 lv2apply -i "$work/in.au" -o "$work/tested.au" "${controls[@]}" "$u"
  not_silent "$work/installed.au"
  cmp "$work/installed.au" "$work/tested.au"
done
/usr/bin/quorvane-render --help >/dev/null
# The suite's host tests must still test the build, not the installed copy.
ctest --test-dir build --output-on-failure -R '^BuiltBundle[.]|^bundle_validates$'
"${apt[@]}" purge quorvane-lv2 quorvane-render
trap 'echo "FAILED: scripts/test-packages.sh (see the output above)" >&2' ERR
left=()
while IFS= read -r f; do
  # Directories the system owns (/usr/bin, /usr/lib/lv2...) stay.
  if [ -e "$f" ] && ! [ -d "$f" ]; then left+=("$f"); fi
done <<<"$files"
[ -d /usr/lib/lv2/quorvane.lv2 ] && left+=(/usr/lib/lv2/quorvane.lv2)
if dpkg-query -W -f='${Status}\n' quorvane-lv2 quorvane-render 2>/dev/null | grep -qv 'not-installed'; then
  left+=("(dpkg still knows the packages)")
fi
[ ${#left[@]} -eq 0 ] || { echo "error: left after purge: ${left[*]}" >&2; false; }
echo "amd64 package: installed, listed, rendered as build/ does, purged without a trace"

echo "== arm64: a clean Debian root, the root's own apt and lv2apply under qemu"
# Foreign binaries run through qemu when the kernel hands them to it:
# binfmt_misc mounted, qemu-user-static's aarch64 handler registered with the
# F flag (the interpreter is opened now, so it works inside the root).
# Both are left as they are when already there.
binfmt=/proc/sys/fs/binfmt_misc
if ! mountpoint -q "$binfmt"; then
  "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  "${sudo[@]}" sh -c "cat /usr/lib/binfmt.d/qemu-aarch64.conf > $binfmt/register"
fi
grep -qx enabled "$binfmt/qemu-aarch64" || { echo "error: the qemu-aarch64 handler is disabled" >&2; false; }

# This machine's Debian sources, and no other network.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -qE '^[^#]*(deb|URIs:).*debian' "$f" && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || { echo "error: no Debian package sources configured in /etc/apt" >&2; false; }
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")

deb=quorvane-lv2_${version}_arm64.deb
root=$work/arm64-root
cp "dist/$deb" "$work/"
cp -r build-arm/lv2 "$work/tested-lv2"
"${sudo[@]}" mmdebstrap --mode=root --variant=apt --arch=arm64 --include=lilv-utils \
  --customize-hook="copy-in $work/$deb $work/in.au $work/tested-lv2 /tmp" \
  --customize-hook="chroot \"\$1\" apt-get install -y -q /tmp/$deb" \
  --customize-hook="chroot \"\$1\" sh -c 'uname -m; lv2ls | grep -qxF $uri && lv2ls | grep -qxF $uri-aligned'" \
  --customize-hook="chroot \"\$1\" lv2apply -i /tmp/in.au -o /tmp/installed.au ${controls[*]} $uri" \
  --customize-hook="chroot \"\$1\" env LV2_PATH=/tmp/tested-lv2 lv2apply -i /tmp/in.au -o /tmp/tested.au ${controls[*]} $uri" \
  --customize-hook="copy-out /tmp/installed.au /tmp/tested.au $work" \
  "$suite" "$root" "${sources[@]}"
"${sudo[@]}" rm -rf "$root"
not_silent "$work/installed.au"
cmp "$work/installed.au" "$work/tested.au"
echo "arm64 package: installed by the root's apt, rendered by its lv2apply as build-arm/ does"
echo "Package proofs passed in $((SECONDS - start)) s."
