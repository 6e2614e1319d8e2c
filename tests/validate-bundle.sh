#!/usr/bin/env bash
# Validates a bundle's Turtle against the installed LV2 schemas, as
# lv2_validate does: sord_validate reads the bundle together with every
# LV2 schema file under /usr/lib/lv2, and any error or warning fails.
set -euo pipefail
bundle=${1:?usage: validate-bundle.sh BUNDLE_DIR}
lv2dir=${LV2_SCHEMA_DIR:-/usr/lib/lv2}

shopt -s nullglob
schemas=("$lv2dir"/*.lv2/*.ttl)
ttl=("$bundle"/*.ttl)
[ ${#schemas[@]} -gt 0 ] || { echo "no LV2 schema files under $lv2dir (install lv2-dev)" >&2; exit 1; }
[ ${#ttl[@]} -gt 0 ] || { echo "no Turtle files in $bundle" >&2; exit 1; }

status=0
log=$(sord_validate "${schemas[@]}" "${ttl[@]}" 2>&1) || status=$?
echo "$log"
if [ $status -ne 0 ] || grep -qiE '^ *(error|warning)' <<<"$log" || ! grep -q 'Found 0 errors' <<<"$log"; then
  echo "FAILED: $bundle does not validate" >&2
  exit 1
fi
echo "$bundle: ${#ttl[@]} files valid against ${#schemas[@]} schema files"
