#!/usr/bin/env bash
# Builds the release into dist/, from the tree as it stands, with or without
# git (the version comes from the bundle and debian/changelog):
#   quorvane_VERSION.orig.tar.gz, quorvane_VERSION-REV.dsc and .debian.tar.xz
#     the Debian source package (3.0 (quilt)); the orig tarball is the tree
#     without debian/, the same bytes for the same tree;
#   quorvane-lv2_VERSION-REV_ARCH.deb for amd64 (native), arm64 and armhf
#     (cross-built with Debian's cross toolchains), and
#     quorvane-render_VERSION-REV_ARCH.deb for amd64 and arm64; all built from
#     the source package, and lintian (-I -E --pedantic) has nothing to say
#     about any of them;
#   quorvane-VERSION-linux-{x86_64,aarch64,armhf}.tar.gz
#     the bundle quorvane.lv2/ as the package installs it, plus LICENSE and
#     a short README, for systems that are not Debian.
#
#   scripts/package.sh [--source-only] [--no-lintian] [--arch ARCH]...
#
# --arch builds the packages (and archive) of the named architectures only.
# --no-lintian leaves lintian out, for a second build of a source package
# that must come out the same bytes as one already checked.
#
# Everything is built in build-deb/, so nothing lands outside the repository.
# Tests are left out of the package builds (nocheck): scripts/test.sh runs
# the same suite on every architecture, and scripts/test-packages.sh checks
# that the packaged libraries render exactly what the tested ones render.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/package.sh (see the output above)" >&2' ERR

source_only=0
lintian=1
only=()
while [ $# -gt 0 ]; do
  case $1 in
    --source-only) source_only=1 ;;
    --no-lintian) lintian=0 ;;
    --arch) only+=("$2"); shift ;;
    *) echo "usage: scripts/package.sh [--source-only] [--no-lintian] [--arch ARCH]..." >&2; exit 2 ;;
  esac
  shift
done

native=$(dpkg --print-architecture)
arches=("$native")
for arch in arm64 armhf; do
  [ "$arch" = "$native" ] || arches+=("$arch")
done
[ ${#only[@]} -eq 0 ] || arches=("${only[@]}")
# The native packages build here; the others in clean roots (below), so this
# machine needs only the tools, and the binutils that check the Arm objects.
tools=(debhelper dpkg-dev fakeroot)
[ $lintian -eq 0 ] || tools+=(lintian)
[ $source_only -eq 1 ] || tools+=(mmdebstrap binutils-aarch64-linux-gnu binutils-arm-linux-gnueabihf)
scripts/deps.sh "${tools[@]}"
[ $source_only -eq 1 ] || source scripts/roots.sh

# The version: project() in CMakeLists.txt (which the build stamps into the
# bundle), which the changelog's upstream part must repeat.
upstream=$(sed -n 's/^project(quorvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$upstream" ] || { echo "error: no project(quorvane VERSION ...) in CMakeLists.txt" >&2; exit 1; }
version=$(dpkg-parsechangelog -S Version)
if [ "${version%-*}" != "$upstream" ] || [ "$version" = "$upstream" ]; then
  echo "error: debian/changelog says $version, CMakeLists.txt $upstream (want $upstream-REVISION)" >&2
  exit 1
fi
timestamp=$(dpkg-parsechangelog -S Timestamp)

work=$PWD/build-deb
dist=$PWD/dist
rm -rf "$work"
mkdir -p "$work/src" "$dist"
rm -f "$dist"/quorvane*

# The files of the tree: in a git checkout, what git tracks or would track
# (new files too); elsewhere, everything but what .gitignore names.
tree_files() {
  if [ -d .git ] || [ -f .git ]; then
    git ls-files -z --cached --others --exclude-standard \
      | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done
  else
    find . -mindepth 1 \( -path './.git' -o -path './build*' -o -path './out' -o -path './dist' \
      -o -name compile_commands.json \) -prune -o \( -type f -o -type l \) -printf '%P\0'
  fi
}

# The orig tarball: the tree without debian/, in a fixed order, owner, time
# and mode, so that the same tree gives the same bytes, git or not, whatever
# the checkout's umask made of the files' modes.
orig=quorvane_$upstream.orig.tar.gz
tree_files | grep -zv '^debian/' | LC_ALL=C sort -z \
  | tar --no-recursion --null --format=gnu --owner=0 --group=0 --numeric-owner \
    --mode=u+rw,go+r,go-w --mtime="@$timestamp" --transform="s,^,quorvane-$upstream/," -cf - -T - \
  | gzip -n -9 >"$work/src/$orig"

echo "== Debian source package"
(
  cd "$work/src"
  tar -xzf "$orig"
  tree_dir=$OLDPWD
  (cd "$tree_dir" && tree_files | grep -z '^debian/' | tar --null -T - -cf -) \
    | tar -xf - -C "quorvane-$upstream"
  # dpkg-source takes debian/'s modes as they are: the same ones as the orig
  # tarball's (0644 or 0755, directories 0755), from a checkout made with
  # umask 022 or 002 alike.
  chmod -R u+rwX,go+rX,go-w "quorvane-$upstream"
  dpkg-source -b "quorvane-$upstream"
)
dsc=$work/src/quorvane_$version.dsc

# lintian with every tag shown, info and pedantic ones included, must have
# nothing to say (overrides, each with its reason, are in debian/). One run
# over the source and every architecture's .changes: it takes half the time
# of a run for each.
lint() { # FILE...
  local out
  [ $lintian -eq 1 ] || return 0
  echo "== lintian -I -E --pedantic ${*##*/}"
  # (Its advice against running as root is not about the package.)
  out=$(lintian -I -E --pedantic "$@" 2>&1 | grep -v '^running with root privileges') || true
  if [ -n "$out" ]; then
    echo "$out" >&2
    echo "error: lintian is not silent on ${*##*/}" >&2
    return 1
  fi
}
cp "$dsc" "$work/src/$orig" "$work/src/quorvane_$version.debian.tar."* "$dist/"
if [ $source_only -eq 1 ]; then
  lint "$dsc"
  ls -l "$dist"
  exit 0
fi
changes=()

# ARCH PROFILES: the binary packages for ARCH, cross-built from the source
# package as a buildd builds them (sbuild): in a clean root of this machine's
# architecture with ARCH added, the build essentials, crossbuild-essential-ARCH
# and the Build-Depends resolved for ARCH, nothing else; on tmpfs, gone after.
# What the build leaves in build-deb/ARCH is its tree and its packages.
cross_build() {
  local arch=$1 profiles=$2 root=$work/root-$arch in=$work/in-$arch jobs
  jobs=$(nproc)
  mkdir -p "$in"
  cp "$dsc" "$work/src/$orig" "$work/src/quorvane_$version.debian.tar."* "$in/"
  mapfile -t cache_in < <(cache_in "cross-$arch")
  mapfile -t cache_out < <(cache_out "cross-$arch")
  # The build runs at the path it has here, build-deb/ARCH, so that its
  # compile commands name the objects that the checks below read.
  in_tmpfs "$root" mmdebstrap --mode=root --variant=buildd --architectures="$native,$arch" \
    --include="crossbuild-essential-$arch" --skip=essential/unlink "${cache_in[@]}" \
    --customize-hook="mkdir -p \"\$1$in\" \"\$1$work/$arch\"" --customize-hook="copy-in $in $work" \
    --customize-hook="chroot \"\$1\" sh -ec 'cd $in
      apt-get build-dep -y -q --no-install-recommends -a $arch -P $profiles ./quorvane_$version.dsc
      dpkg-source -x quorvane_$version.dsc $work/$arch/quorvane-$upstream >/dev/null'" \
    "${cache_out[@]}" \
    --customize-hook="chroot \"\$1\" sh -ec 'cd $work/$arch/quorvane-$upstream
      DEB_BUILD_OPTIONS=\"nocheck parallel=$jobs\" dpkg-buildpackage -b -us -uc -a $arch -P$profiles'" \
    --customize-hook="sync-out $work/$arch $work/$arch" \
    "$suite" "$root" "${sources[@]}"
  rm -rf "$in"
}

declare -A machine=([amd64]=x86_64 [arm64]=aarch64 [armhf]=armhf)
for arch in "${arches[@]}"; do
  echo "== Debian packages for $arch"
  dir=$work/$arch/quorvane-$upstream
  mkdir -p "$work/$arch"
  [ "$arch" != "$native" ] || dpkg-source -x "$dsc" "$dir" >/dev/null
  profiles=nocheck
  [ "$arch" != "$native" ] && profiles+=,cross
  [ "$arch" = armhf ] && profiles+=,pkg.quorvane.norender
  opts=(-b -us -uc "-P$profiles")
  [ "$arch" = "$native" ] || opts+=(-a "$arch")
  if [ "$arch" = "$native" ]; then
    (cd "$dir" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage "${opts[@]}")
  else
    cross_build "$arch" "$profiles"
  fi
  changes+=("$work/$arch/quorvane_${version}_$arch.changes")
  for p in quorvane-lv2 quorvane-render; do
    [ ! -f "$work/$arch/${p}_${version}_$arch.deb" ] || cp "$work/$arch/${p}_${version}_$arch.deb" "$dist/"
  done

  # The packaged library passes the suite's checks on the built one:
  # hardening and one export, no fused multiply-add, an old enough glibc
  # (and the packaged renderer the hardening).
  root=$work/$arch/root
  dpkg-deb -x "$work/$arch/quorvane-lv2_${version}_$arch.deb" "$root"
  lib=$root/usr/lib/lv2/quorvane.lv2/quorvane.so
  triplet=$(dpkg-architecture -a "$arch" -q DEB_HOST_GNU_TYPE 2>/dev/null)
  tools=
  [ "$arch" = "$native" ] || tools=$triplet-
  tests/check_hardening.sh "$lib" "$dir/obj-$triplet/compile_commands.json" "${tools}readelf" "${tools}nm"
  tests/no-fused-ops.sh "${tools}objdump" "$lib"
  glibc_max=2.4
  [ "$arch" != arm64 ] || glibc_max=2.17
  cmake -DOBJDUMP="${tools}objdump" -DLIB="$lib" -DMAX=$glibc_max -P tests/check_glibc.cmake
  # Every 32-bit Pi: ARMv6 with VFPv2, no NEON, no Thumb-2.
  [ "$arch" != armhf ] || tests/check_armv6.sh "${tools}readelf" "${tools}objdump" "$lib"

  # The archive: the bundle as the package installs it, with the licence and
  # a README that states what this build needs.
  newest() { "${tools}objdump" -T "$1" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -1; }
  plugin_glibc=$(newest "$lib")
  render_glibc=
  if [ -f "$work/$arch/quorvane-render_${version}_$arch.deb" ]; then
    dpkg-deb -x "$work/$arch/quorvane-render_${version}_$arch.deb" "$root"
    tests/check_hardening.sh "$root/usr/bin/quorvane-render" "$dir/obj-$triplet/compile_commands.json" \
      "${tools}readelf" "${tools}nm" /render/
    render_glibc=$(newest "$root/usr/bin/quorvane-render")
  fi
  bundle=$root/usr/lib/lv2/quorvane.lv2
  cp LICENSE "$bundle/LICENSE"
  scripts/archive-readme.sh "$upstream" "$arch" "${machine[$arch]}" \
    "$dir/obj-$triplet/bundle/plugins.tsv" "$plugin_glibc" "$render_glibc" >"$bundle/README"
  tar -C "$root/usr/lib/lv2" --sort=name --owner=0 --group=0 --numeric-owner \
    --mode=u+rw,go+r,go-w --mtime="@$timestamp" -cf - quorvane.lv2 \
    | gzip -n -9 >"$dist/quorvane-$upstream-linux-${machine[$arch]}.tar.gz"
done

lint "$dsc" "${changes[@]}"
echo "In $dist:"
ls -l "$dist"
