#!/usr/bin/env bash
# Validates a bundle's Turtle against the LV2's own schema bundles
# (the schemas that lv2-dev installs), as lv2_validate does: sord_validate
# reads the bundle together with them, and any error or warning fails.
# Only LV2's schema bundles are read, by name: other packages' plugins
# in the same directory are none of this bundle's business, and one whose
# Turtle does not validate must not fail ours. MOD's properties are defined
# by mod-schema.ttl beside this script, Ardour's inline display by
# inline-display-schema.ttl.
set -euo pipefail
bundle=${1:?usage: validate-bundle.sh BUNDLE_DIR}
lv2dir=${LV2_SCHEMA_DIR:-/usr/lib/lv2}

specs=(atom buf-size core data-access dynmanifest event instance-access log
  midi morph options parameters patch port-groups port-props presets
  resize-port schemas state time ui units uri-map urid worker)
shopt -s nullglob
schemas=()
for s in "${specs[@]}"; do
  schemas+=("$lv2dir/$s.lv2"/*.ttl)
done
[ -f "$lv2dir/core.lv2/lv2core.ttl" ] || schemas=()
[ ${#schemas[@]} -eq 0 ] || schemas+=("$(dirname "$0")/mod-schema.ttl" "$(dirname "$0")/inline-display-schema.ttl")
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
