# bash completion for qbnote and qbmon: subcommands, their options, paths.
_qbnote() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local commands="set get rm ls find edit export import check cp mv restore status config repair restore-backup"
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
    return
  fi
  local options="--help"
  case ${COMP_WORDS[1]} in
    get) options+=" --json" ;;
    find) options+=" --json -0 --null" ;;
    ls) options+=" --json --missing --set-aside -0 --null" ;;
    status) options+=" --json" ;;
    cp) options+=" -r --recursive" ;;
    import | export) options+=" --xattr" ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  case ${COMP_WORDS[1]} in
    find | export | check | status | repair | restore-backup | config) COMPREPLY=() ;;
    *) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
  esac
}
_qbmon() {
  mapfile -t COMPREPLY < <(compgen -W "--stop --help --version" -- "${COMP_WORDS[COMP_CWORD]}")
}
complete -o filenames -F _qbnote qbnote
complete -F _qbmon qbmon
