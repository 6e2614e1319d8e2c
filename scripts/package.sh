#!/usr/bin/env bash
# Builds the release into dist/:
#   quorvane-lv2_VERSION_ARCH.deb, quorvane-render_VERSION_ARCH.deb
#     for this machine's architecture (natively) and for arm64 (cross-built
#     with Debian's cross toolchain), each checked by lintian: no error, no
#     warning;
#   quorvane-VERSION-linux-x86_64.tar.gz, quorvane-VERSION-linux-aarch64.tar.gz
#     the bundle quorvane.lv2/ from those packages, for systems that are not
#     Debian (unpack into ~/.lv2).
# The packages are built with dpkg-buildpackage from a copy of the source
# tree in build-deb/, so that nothing lands outside the repository.
# Tests are left out of the package builds (nocheck): scripts/test.sh runs
# the same suite on both architectures, and scripts/test-packages.sh checks
# that the packaged libraries render exactly what the tested ones render.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "FAILED: scripts/package.sh (see the output above)" >&2' ERR

native=$(dpkg --print-architecture)
arches=("$native")
cross=()
if [ "$native" != arm64 ]; then
  arches+=(arm64)
  cross=(crossbuild-essential-arm64 pkg-config:arm64 lv2-dev:arm64 liblilv-dev:arm64 libsndfile1-dev:arm64)
fi
scripts/deps.sh debhelper dpkg-dev fakeroot lintian "${cross[@]}"

version=$(dpkg-parsechangelog -S Version)
work=$PWD/build-deb
dist=$PWD/dist
rm -rf "$work"
mkdir -p "$work" "$dist"
rm -f "$dist"/quorvane*

# The tree as it stands (tracked and new files, not what .gitignore leaves
# out, such as build directories).
src=$work/src
mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard \
  | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
  | tar --null -T - -cf - | tar -xf - -C "$src"

declare -A machine=([amd64]=x86_64 [arm64]=aarch64)
for arch in "${arches[@]}"; do
  echo "== Debian packages for $arch"
  dir=$work/$arch/quorvane-$version
  mkdir -p "$dir"
  cp -a "$src/." "$dir/"
  opts=(-b -us -uc -Pnocheck)
  if [ "$arch" != "$native" ]; then
    opts+=(-a "$arch" -Pcross,nocheck)
  fi
  (cd "$dir" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage "${opts[@]}")
  changes=$work/$arch/quorvane_${version}_$arch.changes
  echo "== lintian on $(basename "$changes")"
  lintian --fail-on error,warning --display-info "$changes"
  cp "$work/$arch"/quorvane-lv2_*.deb "$work/$arch"/quorvane-render_*.deb "$dist/"

  # The packaged library passes the suite's checks on the built one:
  # hardening and one export, no fused multiply-add, an old enough glibc.
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

  # The archive holds the bundle exactly as the package installs it.
  [ -n "${machine[$arch]:-}" ] || continue
  tar -C "$root/usr/lib/lv2" --sort=name --owner=0 --group=0 --numeric-owner \
    --mtime="@$(dpkg-parsechangelog -S Timestamp)" \
    -czf "$dist/quorvane-$version-linux-${machine[$arch]}.tar.gz" quorvane.lv2
done

echo "In $dist:"
ls -l "$dist"
