#!/usr/bin/env bash
# Proves the packages where a user installs them, never on this machine's own
# system (after scripts/test.sh's native and Arm runs, whose build/,
# build-arm/ and build-armhf/ bundles it compares against):
#
# - scripts/package.sh builds the source package, the packages and archives
#   into dist/; from a copy of the tree without .git, made with umask 002
#   (group-writable files, as git archive makes them), the source package
#   (and so everything built from it) must come out the same bytes.
# - For amd64, arm64 and armhf, mmdebstrap makes a clean Debian root from
#   this machine's Debian sources; its own apt installs the packages, the
#   autopkgtests in debian/tests run there as autopkgtest runs them (from
#   the source tree, as a user who is not root, AUTOPKGTEST_TMP set, any
#   output on stderr a failure): lv2ls lists the plugins of the build's list
#   (bundle/plugins.tsv), and they and the renderer render exactly what a
#   build of the tree renders. Each is proved once: on amd64 the plugins
#   against a build made in the root from the source package with nothing
#   but the LV2 headers (as autopkgtest runs it), the renderer against
#   build/; on arm64 and armhf both against the cross builds, which are slow
#   to compile under emulation. Purging must leave no file behind.
#   The Arm roots run under qemu-user through binfmt_misc; the armhf one on
#   a Cortex-A7, since Debian's armhf userland needs ARMv7.
#
# binfmt_misc is mounted and qemu's handlers registered only if they are
# not already. At the end, whatever happens, the script removes the handlers
# it registered, and only while they are still the ones it registered, and
# unmounts binfmt_misc only if it mounted it and no other program has
# registered a handler there meanwhile (unmounting drops every handler). The
# roots are made in a mount namespace of their own, so nothing they mount
# or unmount reaches this machine's mounts. The end checks that this
# machine's quorvane packages (installed or not, their versions and files)
# are exactly as they were found, and that binfmt_misc has lost nothing.
# Needs root (or sudo) for the roots and binfmt_misc.
set -euo pipefail
cd "$(dirname "$0")/.."
failed() { echo "FAILED: scripts/test-packages.sh (see the output above)" >&2; }
trap failed ERR

scripts/deps.sh mmdebstrap qemu-user-static arch-test
source scripts/roots.sh

binfmt=/proc/sys/fs/binfmt_misc
steps=()
step() { # NAME T0: records how long a step took
  steps+=("$(printf '%-48s %4d s' "$1" $((SECONDS - $2)))")
}
packages_state() {
  local p f
  echo "quorvane packages on this machine:"
  dpkg-query -W -f='${Package} ${Version} ${db:Status-Abbrev}\n' 'quorvane*' 2>/dev/null || true
  for p in $(dpkg-query -W -f='${Package}\n' 'quorvane*' 2>/dev/null); do
    dpkg-query -L "$p" 2>/dev/null | while IFS= read -r f; do
      [ ! -f "$f" ] || sha256sum "$f"
    done
  done
}
binfmt_state() { # one line per handler, NAME: what it says; or "not mounted"
  local f
  if mountpoint -q "$binfmt"; then
    echo "binfmt_misc mounted: $(cat "$binfmt/status")"
    for f in "$binfmt"/*; do
      case ${f##*/} in register | status) ;; *) echo "${f##*/}: $(tr '\n' ' ' <"$f")" ;; esac
    done
  else
    echo "binfmt_misc not mounted"
  fi
}
packages_before=$(packages_state)
binfmt_before=$(binfmt_state)

start=$SECONDS
t0=$SECONDS
scripts/package.sh
step "package.sh: source, 3 architectures, lintian" $t0
# The builds that scripts/test.sh tested; where one is missing (this script
# run on its own), the plugin alone is built for the comparison.
declare -A reference=([amd64]=build [arm64]=build-arm [armhf]=build-armhf)
declare -A toolchain=([arm64]=cmake/aarch64-linux-gnu.cmake [armhf]=cmake/arm-linux-gnueabihf.cmake)
t0=$SECONDS
for arch in "${!reference[@]}"; do
  [ ! -f "${reference[$arch]}/lv2/quorvane.lv2/quorvane.so" ] || continue
  echo "note: no ${reference[$arch]}/ (scripts/test.sh makes it): building the plugin for $arch"
  reference[$arch]=build-roots/reference-$arch
  opts=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQUORVANE_RENDER=OFF)
  [ -z "${toolchain[$arch]:-}" ] || opts+=(-DCMAKE_TOOLCHAIN_FILE="${toolchain[$arch]}")
  cmake -S . -B "${reference[$arch]}" "${opts[@]}" >/dev/null
  cmake --build "${reference[$arch]}" -j "$(nproc)" --target quorvane >/dev/null
done
step "reference builds missing from scripts/test.sh" $t0

version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
work=$PWD/build-roots
"${sudo[@]}" rm -rf --one-file-system "$work/proof" "$work/nogit"
mkdir -p "$work/proof"

echo "== The source package from a tree without git, group-writable"
t0=$SECONDS
mkdir "$work/nogit"
tar --exclude=./.git --exclude='./build*' --exclude=./dist --exclude=./out -cf - . \
  | tar -xf - -C "$work/nogit"
chmod -R g+w "$work/nogit"
# The same bytes as the source package that lintian checked: no need to
# check them again.
(umask 002 && cd "$work/nogit" && scripts/package.sh --source-only --no-lintian >/dev/null)
for f in "quorvane_$upstream.orig.tar.gz" "quorvane_$version.debian.tar.xz" "quorvane_$version.dsc"; do
  cmp "dist/$f" "$work/nogit/dist/$f"
done
rm -rf "$work/nogit"
echo "the same source package with and without git, modes 0644 and 0664"
step "source package again, without git" $t0

# What the roots get: the source tree as autopkgtest unpacks it, the
# packages, the reference builds (their bundle and list of plugins), and the
# script that runs the proof.
proof=$work/proof
dpkg-source -x "dist/quorvane_$version.dsc" "$proof/src" >/dev/null
for arch in "${!reference[@]}"; do
  mkdir -p "$proof/$arch/debs"
  cp dist/quorvane-*_"${version}_$arch.deb" "$proof/$arch/debs/"
  mkdir -p "$proof/$arch/built/bundle"
  cp -r "${reference[$arch]}/lv2" "$proof/$arch/built/lv2"
  cp "${reference[$arch]}/bundle/plugins.tsv" "$proof/$arch/built/bundle/"
done
cat >"$proof/prove.sh" <<'EOF'
#!/bin/sh
# In the clean root: install the packages with apt, run the named
# autopkgtests, each against its reference (TEST:source builds one from the
# source tree, as autopkgtest runs it; TEST alone takes the build copied in),
# purge, and check that nothing of the packages is left.
set -eu
arch=$1
shift
cd /tmp/proof
uname -m
apt-get install -y -qq --no-install-recommends ./$arch/debs/*.deb
packages=$(for d in ./$arch/debs/*.deb; do dpkg-deb -f "$d" Package; done | tr '\n' ' ')
files=$(dpkg-query -L $packages)
run() { # TEST [QUORVANE_BUILT]
  tmp=$(mktemp -d)
  chown nobody:nogroup "$tmp"
  echo "-- autopkgtest $1 ${2:-(reference built from the source tree)}"
  status=0
  (cd src && setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env HOME="$tmp" AUTOPKGTEST_TMP="$tmp" QUORVANE_BUILT="${2:-}" \
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
  case $t in
    *:source) run "${t%:source}" ;;
    *) run "$t" "/tmp/proof/$arch/built" ;;
  esac
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

# binfmt_misc as it was found, whatever happens from here on: the handlers
# registered here (with what they said when registered), and whether it was
# mounted here.
binfmt_mounted=0
declare -A binfmt_ours=()
binfmt_restored=0
restore() {
  local h others
  [ $binfmt_restored -eq 0 ] || return 0
  binfmt_restored=1
  for h in "${!binfmt_ours[@]}"; do
    # Removed only while it is still the one registered here: another
    # program may have replaced it since, and then uses it.
    if [ -e "$binfmt/$h" ] && [ "$(cat "$binfmt/$h")" = "${binfmt_ours[$h]}" ]; then
      "${sudo[@]}" sh -c "echo -1 > $binfmt/$h" || echo "error: could not unregister $h" >&2
    else
      echo "note: $h was replaced by another program meanwhile: left to it"
    fi
  done
  if [ $binfmt_mounted -eq 1 ]; then
    # Unmounting drops every handler: only when none but ours was there.
    others=$(find "$binfmt" -mindepth 1 -maxdepth 1 ! -name register ! -name status -printf '%f ')
    if [ -z "$others" ]; then
      "${sudo[@]}" umount "$binfmt" || echo "error: could not unmount $binfmt" >&2
    else
      echo "note: binfmt_misc left mounted: other programs registered ${others}meanwhile"
    fi
    binfmt_mounted=0
  fi
  # Roots left by a failed proof (their mounts went with their namespace).
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
    binfmt_ours[$1]=$(cat "$binfmt/$1")
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

# Each line of the log with the time, to see where a root spends it.
stamp() {
  local line
  while IFS= read -r line; do printf '%(%H:%M:%S)T %s\n' -1 "$line"; done
}

# ARCH INCLUDES TEST[:source]...
prove() {
  local arch=$1 include=$2 t0=$SECONDS
  shift 2
  local root=$work/root-$arch cpu=()
  mkdir -p "$root" "$work/cache/$arch"
  # The armhf root on a Cortex-A7, since Debian's armhf userland needs ARMv7.
  [ "$arch" != armhf ] || cpu=(QEMU_CPU=cortex-a7)
  # In a mount namespace of its own, private: what mmdebstrap and the
  # packages' scripts mount and unmount (proc, sys) stays there and goes
  # with it, and so does the root itself, on tmpfs: no disk writes for its
  # few hundred megabytes, nothing to delete. (On armhf tmpfs is needed too:
  # a 32-bit program's readdir cannot take the 64-bit directory offsets of
  # ext4 that qemu-user passes on, and lilv would find no bundle.)
  # Downloaded packages are kept in build-roots/cache for the next run.
  "${sudo[@]}" unshare --mount --propagation private -- sh -ec '
    mount -t tmpfs -o size=4g,mode=755 quorvane-root "$1"
    shift
    exec "$@"' sh "$root" \
    env "${cpu[@]}" mmdebstrap --mode=root --variant=apt --arch="$arch" \
    --include="$include" --skip=essential/unlink \
    --setup-hook="mkdir -p \"\$1/var/cache/apt/archives\"" \
    --setup-hook="sync-in $work/cache/$arch /var/cache/apt/archives" \
    --customize-hook="copy-in $proof /tmp" \
    --customize-hook="chroot \"\$1\" sh /tmp/proof/prove.sh $arch $*" \
    --customize-hook="sync-out /var/cache/apt/archives $work/cache/$arch" \
    "$suite" "$root" "${sources[@]}" 2>&1 | stamp
  "${sudo[@]}" rm -rf --one-file-system "$root"
  echo "$arch proof took $((SECONDS - t0)) s"
}

# The three roots at once, each logging to build-roots/ARCH.log: they spend
# much of their time waiting for downloads and for dpkg.
t0=$SECONDS
register qemu-aarch64
register qemu-arm
declare -A pid
# Each proof once: on amd64 the plugins test builds its reference from the
# source tree, as autopkgtest runs it (the one place where that is proved),
# and the renderer test takes build/, the build that the suite tested.
prove amd64 mawk,lilv-utils,sox,build-essential,cmake,pkg-config,lv2-dev \
  plugins:source renderer >"$work/amd64.log" 2>&1 &
pid[amd64]=$!
prove arm64 mawk,lilv-utils,sox plugins renderer >"$work/arm64.log" 2>&1 &
pid[arm64]=$!
# No renderer for armhf: its test is skipped there as not installable.
prove armhf mawk,lilv-utils,sox plugins >"$work/armhf.log" 2>&1 &
pid[armhf]=$!
status=0
for arch in amd64 arm64 armhf; do
  echo "== $arch: a clean Debian root, the packages by its own apt, the autopkgtests"
  if wait "${pid[$arch]}"; then
    sed -E 's/^[0-9:]{8} //' "$work/$arch.log" \
      | grep -E '^(-- autopkgtest|quorvane|(amd64|arm64|armhf):? |armv7l$|aarch64$|x86_64$)'
  else
    cat "$work/$arch.log"
    echo "error: the $arch proof failed (log above, and in $work/$arch.log)" >&2
    status=1
  fi
done
[ $status -eq 0 ]
step "roots: amd64, arm64, armhf side by side" $t0

restore
"${sudo[@]}" rm -rf --one-file-system "$proof"
# This machine's quorvane packages exactly as found; binfmt_misc with every
# handler it had, mounted if it was, and none of the handlers registered
# here still there as registered (other programs' changes meanwhile are
# theirs, shown but not failed on).
status=0
packages_after=$(packages_state)
if [ "$packages_before" != "$packages_after" ]; then
  echo "error: this machine's quorvane packages are not as they were found:" >&2
  diff <(echo "$packages_before") <(echo "$packages_after") >&2 || true
  status=1
fi
binfmt_after=$(binfmt_state)
while IFS= read -r line; do
  case $line in
    "binfmt_misc not mounted") ;;
    "binfmt_misc mounted: "*)
      mountpoint -q "$binfmt" || { echo "error: binfmt_misc was mounted and is not" >&2; status=1; } ;;
    *) grep -qxF -- "$line" <<<"$binfmt_after" || { echo "error: binfmt_misc lost $line" >&2; status=1; } ;;
  esac
done <<<"$binfmt_before"
for h in "${!binfmt_ours[@]}"; do
  if [ -e "$binfmt/$h" ] && [ "$(cat "$binfmt/$h")" = "${binfmt_ours[$h]}" ]; then
    echo "error: the $h handler registered here is still there" >&2
    status=1
  fi
done
[ "$binfmt_before" = "$binfmt_after" ] || {
  echo "note: binfmt_misc changed meanwhile, not by this script:"
  diff <(echo "$binfmt_before") <(echo "$binfmt_after") || true
}
[ $status -eq 0 ]
echo "This machine as it was found: quorvane packages untouched, binfmt_misc as it was."
printf '  %s\n' "${steps[@]}"
echo "Package proofs passed in $((SECONDS - start)) s."