# SPDX-License-Identifier: MIT
# fish completion for tarnwick-drives
set -l commands drives wipe encrypt open mkfs close
complete -c tarnwick-drives -f

complete -c tarnwick-drives -n "not __fish_seen_subcommand_from $commands" -s y -l yes -d 'Do not ask before destroying data'
complete -c tarnwick-drives -n "not __fish_seen_subcommand_from $commands" -l helper -r -F -d 'Start this helper directly instead of through pkexec'
complete -c tarnwick-drives -n "not __fish_seen_subcommand_from $commands" -l passphrase-fd -x -d 'Read each passphrase as one line from this descriptor'

complete -c tarnwick-drives -a drives -d 'List the removable drives'
complete -c tarnwick-drives -a wipe -d 'Destroy the contents of a whole drive'
complete -c tarnwick-drives -a encrypt -d 'Format a whole drive as a LUKS2 container'
complete -c tarnwick-drives -a open -d 'Open a container as /dev/mapper/NAME'
complete -c tarnwick-drives -a mkfs -d 'Make a filesystem on a mapping opened before'
complete -c tarnwick-drives -a close -d 'Close a mapping opened before'

complete -c tarnwick-drives -n '__fish_prev_arg_in wipe encrypt' -x -a '(lsblk -dpnro NAME 2>/dev/null)'
complete -c tarnwick-drives -n '__fish_prev_arg_in open' -x -a '(lsblk -pnro NAME 2>/dev/null)'
# A wipe takes several drives, up to the next command.
complete -c tarnwick-drives -n '__fish_seen_subcommand_from wipe' -x -a '(lsblk -dpnro NAME 2>/dev/null)'
complete -c tarnwick-drives -n '__fish_seen_subcommand_from wipe' -l verify -d 'Read the drive back and check it'
complete -c tarnwick-drives -n '__fish_seen_subcommand_from wipe' -l report -r -d 'Report file (a directory for several drives)'
complete -c tarnwick-drives -n '__fish_seen_subcommand_from wipe' -l mode -x -a 'random encrypted-zero secure-discard none' -d 'How to wipe the drive'
complete -c tarnwick-drives -n '__fish_seen_subcommand_from encrypt mkfs' -l label -x -d 'Label'
complete -c tarnwick-drives -n '__fish_seen_subcommand_from open' -l allow-discards -d 'Pass discards through to the drive'
complete -c tarnwick-drives -n '__fish_seen_subcommand_from mkfs' -l fs -x -a 'ext4 btrfs xfs' -d 'Filesystem'
