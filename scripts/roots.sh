# Sourced by the scripts that work in clean Debian roots (package.sh,
# test-arm.sh, bench-boards.sh, test-packages.sh). Arm libraries and cross
# toolchains go into roots made by mmdebstrap, never into this machine's
# system: installing a foreign architecture's packages here would add the
# architecture for good and, since multiarch libraries must match their
# native twins' versions, upgrade shared packages (libc, krb5, openssl...).
#
# Provides:
#   sudo                     the prefix for root commands (empty as root)
#   suite, sources           this machine's Debian release and package
#                            sources (and no other network)
#   in_tmpfs DIR CMD...      runs CMD in a private mount namespace with a
#                            tmpfs on DIR: what it mounts stays there and
#                            goes with it, and so does the root on DIR
#   roots_cache              build-roots/cache, the packages downloaded by
#                            earlier roots (per root, so that two at once
#                            never write the same directory)
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && grep -qE '^[^#]*(deb|URIs:).*debian' "$f" && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || { echo "error: no Debian package sources configured in /etc/apt" >&2; exit 1; }
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
roots_cache=$PWD/build-roots/cache

in_tmpfs() { # DIR CMD...
  mkdir -p "$1"
  "${sudo[@]}" unshare --mount --propagation private -- sh -ec '
    mount -t tmpfs -o size=6g,mode=755 quorvane-root "$1"
    shift
    exec "$@"' sh "$@"
}

# mmdebstrap's options that keep the packages it downloads in
# build-roots/cache/NAME for the next root of that name: cache_in first,
# cache_out after the last installation.
cache_in() { # NAME
  mkdir -p "$roots_cache/$1"
  printf '%s\n' --setup-hook='mkdir -p "$1/var/cache/apt/archives"' \
    --setup-hook="sync-in $roots_cache/$1 /var/cache/apt/archives"
}
cache_out() { # NAME
  printf '%s\n' --customize-hook="sync-out /var/cache/apt/archives $roots_cache/$1"
}

# The root that the Arm builds and their tests run in (scripts/test-arm.sh,
# scripts/bench-boards.sh): this machine's architecture with arm64 and armhf
# added, the cross compilers, qemu-user, and the Arm libraries that the
# tests link. Made once into build-roots/arm and kept, like a build
# directory, while this list is unchanged (delete build-roots/arm for a
# fresh one). Chromium is not there: the MOD pedals' test reads only the
# Turtle and pictures, the same on every architecture, and skips itself.
arm_packages=(
  cmake pkg-config qemu-user sordi lv2-dev python3 devscripts
  g++-aarch64-linux-gnu libc6-dev:arm64 libstdc++6:arm64
  liblilv-dev:arm64 libgtest-dev:arm64 libsndfile1-dev:arm64
  g++-arm-linux-gnueabihf libc6-dev:armhf libstdc++6:armhf
  liblilv-dev:armhf libgtest-dev:armhf libsndfile1-dev:armhf
)
arm_root() { # CMD...: runs CMD in the root, in this tree (at its path here), as the caller
  local root=$PWD/build-roots/arm want cache_in cache_out
  want=$(printf '%s\n' "$suite" "${arm_packages[@]}")
  mkdir -p build-roots
  (
    flock 8
    [ "$(cat "$root.list" 2>/dev/null)" != "$want" ] || exit 0
    echo "== A root for the Arm builds: $root"
    "${sudo[@]}" rm -rf --one-file-system "$root" "$root.list"
    mapfile -t cache_in < <(cache_in arm)
    mapfile -t cache_out < <(cache_out arm)
    "${sudo[@]}" unshare --mount --propagation private -- \
      mmdebstrap --mode=root --variant=buildd --architectures="$(dpkg --print-architecture),arm64,armhf" \
      --include="$(IFS=,; echo "${arm_packages[*]}")" --skip=essential/unlink \
      "${cache_in[@]}" "${cache_out[@]}" "$suite" "$root" "${sources[@]}"
    echo "$want" >"$root.list"
  ) 8>build-roots/arm.lock
  # Its own mounts, in a namespace that goes when CMD ends: the root itself
  # (so that its / is a mount point, as tests that mount need), /proc, the
  # devices, a fresh /tmp, and this tree.
  "${sudo[@]}" unshare --mount --propagation private -- sh -ec '
    root=$1 tree=$2 uid=$3 gid=$4
    shift 4
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir -p "$root$tree"
    mount --bind "$tree" "$root$tree"
    cd "$root$tree"
    exec chroot --userspec="$uid:$gid" "$root" env HOME=/tmp sh -c "cd \"\$0\" && exec \"\$@\"" "$tree" "$@"
  ' sh "$root" "$PWD" "$(id -u)" "$(id -g)" "$@"
}
