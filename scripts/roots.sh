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
