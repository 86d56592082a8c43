#!/bin/sh
# The man pages render with man and groff without a warning, and
# strellbox-cli(1) names every option and pass key that
# `strellbox-cli scan --help` gives.
#   man_pages_test.sh STRELLBOX_CLI SOURCE_DIR
set -eu
cli="$1"
pages="$2/docs/man"
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT

for page in "$pages/strellbox-cli.1" "$pages/strellbox.1"; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" > /dev/null 2> "$errors"
  groff -man -ww -z "$page" 2>> "$errors"
  if [ -s "$errors" ]; then
    echo "warnings rendering $page:" >&2
    cat "$errors" >&2
    exit 1
  fi
done

help=$("$cli" scan --help)
# Long options, as the page writes them (\- for each hyphen).
for option in $(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z0-9-]*' | sort -u); do
  escaped=$(printf '%s' "$option" | sed 's/-/\\\\-/g')
  grep -q -- "$escaped" "$pages/strellbox-cli.1" || { echo "strellbox-cli.1 lacks $option" >&2; exit 1; }
done
for key in $(printf '%s\n' "$help" | sed -n 's/.*comma list of: \(.*\))\..*/\1/p' | tr -d ','); do
  grep -q "\\b$key\\b" "$pages/strellbox-cli.1" || { echo "strellbox-cli.1 lacks the key $key" >&2; exit 1; }
done
echo "man pages render cleanly and name every option"
