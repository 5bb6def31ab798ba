#!/usr/bin/env bash
# Fails when a key the sources translate has no translation in ru/kp6.po, or
# is missing from the committed ru/kp6.pot.
set -euo pipefail
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$src/ru/extract-keys.sh" "$tmp/keys.pot"
count=$(grep -c '^msgid "' "$tmp/keys.pot")
[ "$count" -ge 20 ] || { echo "only $count keys found"; exit 1; }
msgcmp "$src/ru/kp6.po" "$tmp/keys.pot"
msgcmp --use-untranslated "$src/ru/kp6.pot" "$tmp/keys.pot"
echo "$count keys translated"
