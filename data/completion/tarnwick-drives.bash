# SPDX-License-Identifier: MIT
# bash completion for tarnwick-drives
# Several commands may follow one another on one command line, so the options
# offered are those of the last command word before the cursor.

_tarnwick_drives() {
  local cur prev words cword
  _init_completion || return

  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      drives | wipe | encrypt | open | mkfs | close) command=${words[i]} ;;
    esac
  done

  case $prev in
    --mode)
      COMPREPLY=($(compgen -W 'random encrypted-zero secure-discard none' -- "$cur"))
      return
      ;;
    --fs)
      COMPREPLY=($(compgen -W 'ext4 btrfs xfs' -- "$cur"))
      return
      ;;
    --helper)
      _filedir
      return
      ;;
    --report)
      # A file for one drive, a directory for several.
      _filedir
      return
      ;;
    --passphrase-fd | --label)
      return
      ;;
    wipe | encrypt)
      # A whole drive.
      COMPREPLY=($(compgen -W "$(lsblk -dpnro NAME 2>/dev/null)" -- "$cur"))
      return
      ;;
    open)
      # A drive or one of its partitions.
      COMPREPLY=($(compgen -W "$(lsblk -pnro NAME 2>/dev/null)" -- "$cur"))
      return
      ;;
  esac

  if [[ $cur == -* ]]; then
    local options
    case $command in
      "") options='-y --yes --helper --passphrase-fd -h --help' ;;
      wipe) options='--mode --verify --report' ;;
      encrypt) options='--label' ;;
      open) options='--allow-discards' ;;
      mkfs) options='--fs --label' ;;
      *) options='' ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  local words_offered='drives wipe encrypt open mkfs close'
  if [[ $command == wipe ]]; then
    # A wipe takes several drives, up to the next command.
    words_offered+=" $(lsblk -dpnro NAME 2>/dev/null)"
  fi
  COMPREPLY=($(compgen -W "$words_offered" -- "$cur"))
}
complete -F _tarnwick_drives tarnwick-drives
