#!/usr/bin/env bash
# Configures a fresh build as a user who is not root (nobody, when run as
# root), with the default prefix, and installs it with --prefix into a
# temporary directory. Every file must land under that prefix where the
# layout says, and nothing anywhere else, not in the user's home either.
#
#   install-test.sh SOURCE_DIR CMAKE RENDER(ON|OFF)
set -euo pipefail
src=$1 cmake=$2 render=$3

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/src" "$tmp/home"
# A copy of the tree, so that the user can read it wherever the checkout is.
tar -C "$src" --exclude='./build*' --exclude=./dist --exclude=./out --exclude=./.git -cf - . \
  | tar -C "$tmp/src" -xf -
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown -R nobody:nogroup "$tmp"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
run() { "${as_user[@]}" env HOME="$tmp/home" "$@"; }

targets=(quorvane)
[ "$render" = ON ] && targets+=(quorvane-render)
run "$cmake" -S "$tmp/src" -B "$tmp/build" -DBUILD_TESTING=OFF -DQUORVANE_RENDER="$render" >/dev/null
# The plugin window is built where cairo and Xlib are found.
if run "$cmake" --build "$tmp/build" --target help | grep -w quorvane_ui >/dev/null; then
  targets+=(quorvane_ui)
fi
run "$cmake" --build "$tmp/build" -j 2 --target "${targets[@]}" >/dev/null
run "$cmake" --install "$tmp/build" --prefix "$tmp/prefix" >/dev/null

# Expected: the bundle as the build tree holds it, the renderer and its page.
bundle=lib/lv2/quorvane.lv2
expected=$(
  cd "$tmp/build/lv2/quorvane.lv2" && find . -type f -printf "$bundle/%P\n"
  if [ "$render" = ON ]; then
    echo bin/quorvane-render
    [ ! -f "$src/render/quorvane-render.1" ] || echo share/man/man1/quorvane-render.1
  fi
)
actual=$(cd "$tmp/prefix" && find . -type f -printf '%P\n')
status=0
if ! diff -u <(sort <<<"$expected") <(sort <<<"$actual") >"$tmp/diff"; then
  echo "error: installed files differ from the layout (- expected, + installed):" >&2
  cat "$tmp/diff" >&2
  status=1
fi
if [ -n "$(ls -A "$tmp/home")" ]; then
  echo "error: the install wrote into the user's home:" >&2
  find "$tmp/home" >&2
  status=1
fi
for f in "$tmp/build/lv2/quorvane.lv2"/*.ttl; do
  cmp "$f" "$tmp/prefix/$bundle/${f##*/}" || status=1
done
[ $status -eq 0 ] && echo "installed under the prefix only: $(wc -l <<<"$actual") files"
exit $status
