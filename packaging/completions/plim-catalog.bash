# bash completion for plim-catalog: verbs, their options, and files.

_plim_catalog() {
  local cur prev verb word i
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  local verbs="add list show edit remove prune clean copy stats match listen duplicates rebuild verify help"
  local globals="--catalog --json --quiet --help --version"
  verb=
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      --catalog) ((i++)) ;;
      -*) ;;
      *) verb=$word; break ;;
    esac
  done
  case $prev in
    --catalog|--under) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --metadata|--artwork) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --artist|--title|--album|--isrc|--genre|-j|--jobs) return ;;
  esac
  local options=
  case $verb in
    "") COMPREPLY=($(compgen -W "$verbs $globals" -- "$cur")); return ;;
    add) options="--artist --title --album --artwork --metadata --jobs --dry-run --update-tags --allow-duplicates" ;;
    list) options="--artist --title --album --under" ;;
    prune|remove) options="--dry-run" ;;
    match) options="--jobs --timeline --candidates" ;;
    listen) options="--once --stall-timeout" ;;
    rebuild) options="--jobs --repair" ;;
    clean) options="--older-than" ;;
    edit) options="--artist --title --album --artwork --metadata --isrc --genre --dry-run" ;;
    help) COMPREPLY=($(compgen -W "$verbs" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options $globals" -- "$cur"))
  elif [[ $verb == listen ]]; then
    COMPREPLY=($(compgen -W "- alsa:default pulse:default http:// https://" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _plim_catalog plim-catalog
