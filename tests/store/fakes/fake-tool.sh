#!/bin/sh
# Test stand-in for the disk-image tools. Copied into a scratch folder under the name of the tool it
# plays (hdiutil, diskutil, du, mdutil, opener). Its behaviour is keyed by "<tool>-<first argument>"
# and read from files next to it:
#   <key>.stdout, <key>.stderr   printed when present
#   <key>.status                 exit status (0 when absent)
#   <key>.noread                 when present, standard input is never read
#   <key>.mkdir                  folders (one path a line) it makes before it answers
# "hdiutil create" that succeeds leaves a folder at its last argument, as the image would be.
# It records what it was given:
#   <key>.args                   the arguments, one per line
#   <key>.stdin                  the bytes read from standard input
#   calls.log                    one line per run: the key
dir=$(dirname "$0")
key="$(basename "$0")-$1"
: > "$dir/$key.args"
for a in "$@"; do printf '%s\n' "$a" >> "$dir/$key.args"; done
printf '%s\n' "$key" >> "$dir/calls.log"
[ -f "$dir/$key.noread" ] || cat > "$dir/$key.stdin"
if [ -f "$dir/$key.mkdir" ]; then
    while IFS= read -r folder; do mkdir -p "$folder"; done < "$dir/$key.mkdir"
fi
if [ "$key" = hdiutil-create ] && [ "$(cat "$dir/$key.status" 2>/dev/null || echo 0)" = 0 ]; then
    for last; do :; done
    mkdir -p "$last"
fi
[ -f "$dir/$key.stdout" ] && cat "$dir/$key.stdout"
[ -f "$dir/$key.stderr" ] && cat "$dir/$key.stderr" >&2
[ -f "$dir/$key.status" ] && exit "$(cat "$dir/$key.status")"
exit 0
