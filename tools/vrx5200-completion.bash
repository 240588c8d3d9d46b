# bash completion of vrx5200. The subcommands and options come from the tool itself:
# "vrx5200 __complete WORDS..." lists what may follow WORDS, one word a line.
_vrx5200() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  case $prev in
    -O | --format)
      mapfile -t COMPREPLY < <(compgen -W "raw csv npy" -- "$cur")
      return
      ;;
    -d | --output-dir | --keep | --dir)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    -n | --samples | --board | --rate | --rate-factor | --step-select | --half-rate | --r[167] | \
      --patterns | --timeout | --lanes | --ops | --delimiters | --columns | --lane-map | \
      --factor[12] | --divisor | --cb[12] | --start-offset)
      return  # a value, not a file
      ;;
  esac
  local tool=${COMP_WORDS[0]}
  tool=${tool/#\~/$HOME}
  local word options=() subcommands=()
  while IFS= read -r word; do
    if [[ $word == -* ]]; then options+=("$word"); else subcommands+=("$word"); fi
  done < <("$tool" __complete "${COMP_WORDS[@]:1:COMP_CWORD-1}" 2>/dev/null)
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
  elif ((${#subcommands[@]} > 0)); then
    mapfile -t COMPREPLY < <(compgen -W "${subcommands[*]}" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -o filenames -F _vrx5200 vrx5200
