# bash completion for strellbox-cli: its command, the options of scan, the
# pass keys of --enable, --disable and --only (comma lists), folders for
# --output, files for --report and the paths to scan.
_strellbox_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  # "--enable=pn" arrives as "--enable", "=", "pn".
  if [[ $cur == = ]]; then
    cur=
  elif [[ $prev == = && COMP_CWORD -ge 2 ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  fi
  local keys="base64 flash png gif bmp wav pdf jpeg ascii html webp tiff mp4 flac ogg mp3 matroska icon psd svg data-uri emf wmf jxl flate"
  local options="--output --beside --desktop --enable --disable --only --classic --extended
    --jobs --keep-duplicates --json --list --report --md5 --min-size --max-size --min-pixels
    --quiet --verbose --help"

  local i scan=
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == scan ]] && scan=1 && break
  done
  if [[ -z $scan ]]; then
    COMPREPLY=($(compgen -W "scan --list-decoders --help --version" -- "$cur"))
    return
  fi

  case $prev in
    --output)
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    --report)
      COMPREPLY=($(compgen -f -- "$cur") $(compgen -W "-" -- "$cur"))
      return
      ;;
    --enable | --disable | --only)
      # The keys given so far stay; the last one is completed.
      local given= last=$cur
      if [[ $cur == *,* ]]; then
        given=${cur%,*},
        last=${cur##*,}
      fi
      COMPREPLY=($(compgen -P "$given" -W "$keys" -- "$last"))
      compopt -o nospace 2> /dev/null
      return
      ;;
    -j | --jobs | --min-size | --max-size | --min-pixels)
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _strellbox_cli strellbox-cli
