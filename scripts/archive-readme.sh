#!/usr/bin/env bash
# Writes the README that goes into a release archive, with the C library
# versions measured on the packaged binaries and the plugins named from the
# list that the build writes (scripts/package.sh):
#   archive-readme.sh VERSION DEBIAN_ARCH MACHINE PLUGINS_TSV PLUGIN_GLIBC [RENDER_GLIBC]
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1 arch=$2 machine=$3 plugins_tsv=$4 plugin_glibc=$5 render_glibc=${6:-}
plugins=$(debian/plugin-lines "$plugins_tsv")
archive=quorvane-$version-linux-$machine.tar.gz

case $arch in
  amd64) systems="64-bit x86 PCs (x86_64)" ;;
  arm64) systems="64-bit Arm (aarch64): Raspberry Pi OS 64-bit on a Pi 3, 4, 5, 400, 500 or Zero 2 W, and other arm64 systems" ;;
  armhf) systems="32-bit Arm, hard float (armhf): Raspberry Pi OS 32-bit on every Raspberry Pi, Pi 1 and Zero included (ARM code for ARMv6 with VFPv2, no NEON)" ;;
  *) systems=$arch ;;
esac

cat <<EOF
quorvane $version for Linux ($machine)
$(printf '%*s' $((${#version} + ${#machine} + 22)) '' | tr ' ' '=')

$(echo "This build is for $systems." | fold -s -w 75 | sed 's/ *$//')

quorvane.lv2 is an LV2 bundle of spectral effects (freeze, blur, shift,
gate) with their presets, for any LV2 host (Ardour, Carla, Qtractor, jalv,
lv2apply...). Its plugins:

$plugins

Install
-------
Put the folder quorvane.lv2 where hosts look for LV2 plugins, then restart
the host:

  for yourself:   mkdir -p ~/.lv2 && tar -xzf $archive -C ~/.lv2
  for every user: sudo mkdir -p /usr/local/lib/lv2 &&
                  sudo tar -xzf $archive -C /usr/local/lib/lv2

To remove it, delete that quorvane.lv2 folder.

Install either this archive or the Debian package quorvane-lv2, not both:
a host that finds the plugin twice warns about duplicate plugins and may
load either copy. Remove one first: sudo apt remove quorvane-lv2 (which
takes quorvane-render with it), or delete the other quorvane.lv2 folder.

Requirements
------------
The plugin needs nothing but the C library: glibc $plugin_glibc or newer,
which is every current Linux system with glibc (check with ldd --version).
EOF
if [ -n "$render_glibc" ]; then
  cat <<EOF

The command-line renderer quorvane-render is not in this archive. It comes
as the Debian package quorvane-render (with quorvane-lv2), built on Debian 12
(bookworm), and needs glibc $render_glibc or newer, lilv and libsndfile:
Debian 12 (bookworm), Raspberry Pi OS bookworm, Ubuntu 22.04 and later;
not Debian 11 (bullseye) or older, whose glibc is 2.31.
EOF
else
  cat <<EOF

The command-line renderer quorvane-render is not built for this system;
lv2apply (Debian package lilv-utils) renders a file through the plugin.
EOF
fi
cat <<EOF

Licence: ISC, see LICENSE. Home page: https://quorvane.audio/
EOF
