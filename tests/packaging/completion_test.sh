#!/bin/bash
# The bash completion of strellbox-cli completes its command, the options of
# scan and the pass keys in comma lists, and offers exactly the options and
# keys `strellbox-cli scan --help` gives; the zsh completion names the same,
# and zsh reads it without a syntax error.
#   completion_test.sh STRELLBOX_CLI SOURCE_DIR
set -eu
cli="$1"
completions="$2/src/cli/completions"
# shellcheck source=/dev/null
source "$completions/strellbox-cli.bash"

# The completions of the last word, sorted, one a line.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _strellbox_cli
  printf '%s\n' "${COMPREPLY[@]}" | sort
}
expect() {
  local want="$1"
  shift
  local got
  got=$(complete_words "$@" | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$want" ]; then
    echo "completing '$*': got '$got', want '$want'" >&2
    exit 1
  fi
}

expect "--help --list-decoders --version scan" strellbox-cli ""
expect "--max-size --md5 --min-pixels --min-size" strellbox-cli scan --m
expect "pdf png psd" strellbox-cli scan --only p
expect "png,gif" strellbox-cli scan --enable png,g
expect "html" strellbox-cli scan --disable = ht
expect "" strellbox-cli scan --jobs ""

help=$("$cli" scan --help)
options=$(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z0-9-]*' | sort -u | tr '\n' ' ')
keys=$(printf '%s\n' "$help" | sed -n 's/.*comma list of: \(.*\))\..*/\1/p' | tr -d ',' |
  tr ' ' '\n' | sort | tr '\n' ' ')
offered=$(complete_words strellbox-cli scan -- | tr '\n' ' ')
[ "$offered" = "$options" ] || { echo "options: bash offers '$offered', help gives '$options'" >&2; exit 1; }
offered=$(complete_words strellbox-cli scan --enable "" | tr '\n' ' ')
[ "$offered" = "$keys" ] || { echo "keys: bash offers '$offered', help gives '$keys'" >&2; exit 1; }

zshfile="$completions/_strellbox-cli"
if command -v zsh > /dev/null; then
  zsh -n "$zshfile"
fi
for option in $options; do
  grep -q -- "$option[]=[]" "$zshfile" || grep -q -- "'$option'" "$zshfile" ||
    grep -q -- ",$option" "$zshfile" || { echo "zsh completion lacks $option" >&2; exit 1; }
done
zshkeys=$(sed -n 's/^keys=(\(.*\))$/\1/p' "$zshfile" | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$zshkeys" = "$keys" ] || { echo "keys: zsh has '$zshkeys', help gives '$keys'" >&2; exit 1; }
echo "completions offer every option and key"
