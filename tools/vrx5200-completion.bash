# bash completion of vrx5200. The subcommands, options and values come from the tool itself:
# "vrx5200 __complete WORDS..." says what may follow WORDS, one word a line. After an option that
# takes a value, its first line is ":words" (the values follow), ":file", ":dir" or ":value".
_vrx5200() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  COMPREPLY=()
  local tool=${COMP_WORDS[0]}
  tool=${tool/#\~/$HOME}
  local lines=()
  mapfile -t lines < <("$tool" __complete "${COMP_WORDS[@]:1:COMP_CWORD-1}" 2>/dev/null)
  case ${lines[0]-} in
    :words)
      mapfile -t COMPREPLY < <(compgen -W "${lines[*]:1}" -- "$cur")
      return
      ;;
    :file)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
    :dir)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    :value) return ;;  # a number or a name: nothing to suggest
  esac
  local word options=() subcommands=()
  for word in "${lines[@]}"; do
    if [[ $word == -* ]]; then options+=("$word"); else subcommands+=("$word"); fi
  done
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
  elif ((${#subcommands[@]} > 0)); then
    mapfile -t COMPREPLY < <(compgen -W "${subcommands[*]}" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -o filenames -F _vrx5200 vrx5200
