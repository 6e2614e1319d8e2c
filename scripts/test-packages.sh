#!/usr/bin/env bash
# Proves the packages where a user installs them, never on this machine's own
# system (after scripts/test.sh's native and Arm runs, whose build/,
# build-arm/ and build-armhf/ bundles it compares against):
#
# - scripts/package.sh builds the source package, the packages and archives
#   into dist/; from a copy of the tree without .git, the source package
#   (and so everything built from it) must come out the same.
# - For amd64, arm64 and armhf, mmdebstrap makes a clean Debian root from
#   this machine's Debian sources; its own apt installs the packages, the
#   autopkgtests in debian/tests run there as autopkgtest runs them (from
#   the source tree, as a user who is not root, AUTOPKGTEST_TMP set, any
#   output on stderr a failure): lv2ls lists the four plugins, and they and the
#   renderer render exactly what a build of the tree renders (on amd64 one
#   made in the root from the source package with nothing but the LV2
#   headers, and build/; on arm64 and armhf the cross builds, which are
#   slow to compile under emulation). Purging must leave no file behind.
#   The Arm roots run under qemu-user through binfmt_misc; the armhf one on
#   a Cortex-A7, since Debian's armhf userland needs ARMv7.
#
# binfmt_misc is mounted and qemu's handlers registered only if they are
# not already, and put back as they were at the end, whatever happens; the
# end checks that this machine's quorvane packages (installed or not, their
# versions and files) and binfmt_misc are exactly as they were found.
# Needs root (or sudo) for the roots and binfmt_misc.
set -euo pipefail
cd "$(dirname "$0")/.."
failed() { echo "FAILED: scripts/test-packages.sh (see the output above)" >&2; }
trap failed ERR

scripts/deps.sh mmdebstrap qemu-user-static arch-test
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

binfmt=/proc/sys/fs/binfmt_misc
host_state() {
  local p f
  echo "quorvane packages on this machine:"
  dpkg-query -W -f='${Package} ${Version} ${db:Status-Abbrev}\n' 'quorvane*' 2>/dev/null || true
  for p in $(dpkg-query -W -f='${Package}\n' 'quorvane*' 2>/dev/null); do
    dpkg-query -L "$p" 2>/dev/null | while IFS= read -r f; do
      [ ! -f "$f" ] || sha256sum "$f"
    done
  done
  if mountpoint -q "$binfmt"; then
    echo "binfmt_misc mounted: $(cat "$binfmt/status")"
    for f in "$binfmt"/*; do
      case ${f##*/} in register | status) ;; *) echo "${f##*/}: $(tr '\n' ' ' <"$f")" ;; esac
    done
  else
    echo "binfmt_misc not mounted"
  fi
}
before=$(host_state)

start=$SECONDS
scripts/package.sh
# The builds that scripts/test.sh tested; where one is missing (this script
# run on its own), the plugin alone is built for the comparison.
declare -A reference=([amd64]=build [arm64]=build-arm [armhf]=build-armhf)
declare -A toolchain=([arm64]=cmake/aarch64-linux-gnu.cmake [armhf]=cmake/arm-linux-gnueabihf.cmake)
for arch in "${!reference[@]}"; do
  [ ! -f "${reference[$arch]}/lv2/quorvane.lv2/quorvane.so" ] || continue
  echo "note: no ${reference[$arch]}/ (scripts/test.sh makes it): building the plugin for $arch"
  reference[$arch]=build-roots/reference-$arch
  opts=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUORVANE_RENDER=OFF)
  [ -z "${toolchain[$arch]:-}" ] || opts+=(-DCMAKE_TOOLCHAIN_FILE="${toolchain[$arch]}")
  cmake -S . -B "${reference[$arch]}" "${opts[@]}" >/dev/null
  cmake --build "${reference[$arch]}" -j "$(nproc)" --target quorvane >/dev/null
done

version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
work=$PWD/build-roots
"${sudo[@]}" rm -rf --one-file-system "$work/proof" "$work/nogit"
mkdir -p "$work/proof"

echo "== The source package from a tree without git"
mkdir "$work/nogit"
tar --exclude=./.git --exclude='./build*' --exclude=./dist --exclude=./out -cf - . \
  | tar -xf - -C "$work/nogit"
(cd "$work/nogit" && scripts/package.sh --source-only >/dev/null)
for f in "quorvane_$upstream.orig.tar.gz" "quorvane_$version.dsc"; do
  cmp "dist/$f" "$work/nogit/dist/$f"
done
rm -rf "$work/nogit"
echo "the same source package with and without git"

# What the roots get: the source tree as autopkgtest unpacks it, the
# packages, the reference builds, and the script that runs the proof.
proof=$work/proof
dpkg-source -x "dist/quorvane_$version.dsc" "$proof/src" >/dev/null
for arch in "${!reference[@]}"; do
  mkdir -p "$proof/$arch/debs"
  cp dist/quorvane-*_"${version}_$arch.deb" "$proof/$arch/debs/"
  cp -r "${reference[$arch]}/lv2" "$proof/$arch/built-lv2"
done
cat >"$proof/prove.sh" <<'EOF'
#!/bin/sh
# In the clean root: install the packages with apt, run the named
# autopkgtests with each reference build (none: build from the source tree),
# purge, and check that nothing of the packages is left.
set -eu
arch=$1 references=$2
shift 2
cd /tmp/proof
uname -m
apt-get install -y -qq --no-install-recommends ./$arch/debs/*.deb
packages=$(for d in ./$arch/debs/*.deb; do dpkg-deb -f "$d" Package; done | tr '\n' ' ')
files=$(dpkg-query -L $packages)
run() { # TEST [QUORVANE_BUILT_LV2]
  tmp=$(mktemp -d)
  chown nobody:nogroup "$tmp"
  echo "-- autopkgtest $1 ${2:-(reference built from the source tree)}"
  status=0
  (cd src && setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env HOME="$tmp" AUTOPKGTEST_TMP="$tmp" QUORVANE_BUILT_LV2="${2:-}" \
    debian/tests/$1 2>"$tmp.stderr") || status=$?
  if [ -s "$tmp.stderr" ]; then
    cat "$tmp.stderr"
    echo "error: autopkgtest $1 wrote to stderr" >&2
    status=1
  fi
  rm -rf "$tmp" "$tmp.stderr"
  [ $status -eq 0 ] || { echo "error: autopkgtest $1 failed" >&2; exit 1; }
}
for t; do
  for r in $references; do
    case $r in
      source) run "$t" ;;
      *) run "$t" "/tmp/proof/$arch/$r" ;;
    esac
  done
done
apt-get purge -y -qq $packages
for f in $files; do
  # Directories the system owns (/usr/bin, /usr/lib/lv2...) stay.
  if [ -e "$f" ] && [ ! -d "$f" ]; then echo "error: left after purge: $f" >&2; exit 1; fi
done
[ ! -e /usr/lib/lv2/quorvane.lv2 ] || { echo "error: left after purge: /usr/lib/lv2/quorvane.lv2" >&2; exit 1; }
echo "$arch: installed, tested ($*), purged without a trace"
EOF
chmod -R a+rX "$proof"

# This machine's Debian sources, and no other network.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -qE '^[^#]*(deb|URIs:).*debian' "$f" && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || { echo "error: no Debian package sources configured in /etc/apt" >&2; false; }
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")

# binfmt_misc as it was found, whatever happens from here on; and the proof
# that it is, and that this machine's own packages were not touched.
binfmt_mounted=0
binfmt_added=()
restore() {
  local h
  for h in "${binfmt_added[@]}"; do
    [ ! -e "$binfmt/$h" ] || "${sudo[@]}" sh -c "echo -1 > $binfmt/$h" || echo "error: could not unregister $h" >&2
  done
  binfmt_added=()
  if [ $binfmt_mounted -eq 1 ]; then
    "${sudo[@]}" umount "$binfmt" || echo "error: could not unmount $binfmt" >&2
    binfmt_mounted=0
  fi
  # Roots left by a failed proof, and anything mmdebstrap left mounted.
  findmnt -rn -o TARGET | grep -F "$work/root-" | sort -r | xargs -r "${sudo[@]}" umount || true
  "${sudo[@]}" rm -rf --one-file-system "$work"/root-*
}
trap 'restore; failed' ERR
trap 'restore' EXIT
trap 'restore; exit 130' INT TERM
register() { # HANDLER (qemu-*, from qemu-user-static)
  if ! mountpoint -q "$binfmt"; then
    "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
    binfmt_mounted=1
  fi
  if [ ! -e "$binfmt/$1" ]; then
    "${sudo[@]}" sh -c "cat /usr/lib/binfmt.d/$1.conf > $binfmt/register"
    binfmt_added+=("$1")
  fi
  # F: the interpreter is opened now, so it also works inside the root.
  grep -qx enabled "$binfmt/$1" && grep -q '^flags:.*F' "$binfmt/$1" || {
    echo "error: the $1 handler is disabled or lacks the F flag:" >&2
    cat "$binfmt/$1" >&2
    false
  }
}

# Two runs of this script at once would each take binfmt_misc down under
# the other: one at a time on this machine.
lockdir=/run/lock
[ -d "$lockdir" ] && [ -w "$lockdir" ] || lockdir=${TMPDIR:-/tmp}
exec 9>"$lockdir/quorvane-package-proofs.lock"
flock 9

# ARCH INCLUDES REFERENCES TESTS...
prove() {
  local arch=$1 include=$2 references=$3 t0=$SECONDS
  shift 3
  local root=$work/root-$arch cpu=()
  mkdir -p "$root" "$work/cache/$arch"
  if [ "$arch" = armhf ]; then
    cpu=(QEMU_CPU=cortex-a7)
    # A 32-bit program's readdir cannot take the 64-bit directory offsets of
    # ext4 that qemu-user passes on (EOVERFLOW: lilv would find no bundle);
    # a 32-bit kernel gives it 32-bit ones, and so does tmpfs.
    "${sudo[@]}" mount -t tmpfs -o size=4g,mode=755 quorvane-root "$root"
  fi
  # Downloaded packages are kept in build-roots/cache for the next run.
  "${sudo[@]}" env "${cpu[@]}" mmdebstrap --mode=root --variant=apt --arch="$arch" \
    --include="$include" --skip=essential/unlink \
    --setup-hook="mkdir -p \"\$1/var/cache/apt/archives\"" \
    --setup-hook="sync-in $work/cache/$arch /var/cache/apt/archives" \
    --customize-hook="copy-in $proof /tmp" \
    --customize-hook="chroot \"\$1\" sh /tmp/proof/prove.sh $arch '$references' $*" \
    --customize-hook="sync-out /var/cache/apt/archives $work/cache/$arch" \
    "$suite" "$root" "${sources[@]}"
  ! mountpoint -q "$root" || "${sudo[@]}" umount "$root"
  "${sudo[@]}" rm -rf --one-file-system "$root"
  echo "$arch proof took $((SECONDS - t0)) s"
}

# The three roots at once, each logging to build-roots/ARCH.log: they spend
# much of their time waiting for downloads and for dpkg.
register qemu-aarch64
register qemu-arm
declare -A pid
prove amd64 mawk,lilv-utils,sox,build-essential,cmake,pkg-config,lv2-dev "source built-lv2" \
  plugins renderer >"$work/amd64.log" 2>&1 &
pid[amd64]=$!
prove arm64 mawk,lilv-utils,sox built-lv2 plugins renderer >"$work/arm64.log" 2>&1 &
pid[arm64]=$!
# No renderer for armhf: its test is skipped there as not installable.
prove armhf mawk,lilv-utils,sox built-lv2 plugins >"$work/armhf.log" 2>&1 &
pid[armhf]=$!
status=0
for arch in amd64 arm64 armhf; do
  echo "== $arch: a clean Debian root, the packages by its own apt, the autopkgtests"
  if wait "${pid[$arch]}"; then
    grep -E '^(-- autopkgtest|http:|quorvane-render |(amd64|arm64|armhf):? |armv7l$|aarch64$|x86_64$)' "$work/$arch.log"
  else
    cat "$work/$arch.log"
    echo "error: the $arch proof failed (log above, and in $work/$arch.log)" >&2
    status=1
  fi
done
[ $status -eq 0 ]

restore
"${sudo[@]}" rm -rf --one-file-system "$proof"
after=$(host_state)
if [ "$before" != "$after" ]; then
  echo "error: this machine is not as it was found (or another program changed it meanwhile):" >&2
  diff <(echo "$before") <(echo "$after") >&2 || true
  false
fi
echo "This machine as it was found: quorvane packages and binfmt_misc untouched."
echo "Package proofs passed in $((SECONDS - start)) s."
