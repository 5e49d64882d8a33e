# fish completion for qbnote: subcommands, their options, paths.
set -l commands set get rm ls find edit export import check cp mv restore status config repair restore-backup
complete -c qbnote -n "not __fish_seen_subcommand_from $commands" -f -a "$commands"
complete -c qbnote -n "not __fish_seen_subcommand_from $commands" -l version -d 'the version'
complete -c qbnote -l help -d 'help'
complete -c qbnote -n '__fish_seen_subcommand_from get ls find status' -l json -d 'JSON output'
complete -c qbnote -n '__fish_seen_subcommand_from ls' -l missing -d 'notes whose paths are gone'
complete -c qbnote -n '__fish_seen_subcommand_from ls' -l set-aside -d 'notes set aside'
complete -c qbnote -n '__fish_seen_subcommand_from find export check status' -f
complete -c qbmon -f -l stop -d 'stop the running Monitor'
complete -c qbmon -f -l help -d 'usage and settings'
complete -c qbmon -f -l version -d 'the version'
complete -c qbnote -n '__fish_seen_subcommand_from import export' -l xattr -d 'user.xdg.comment attributes'
