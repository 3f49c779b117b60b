#!/bin/sh
# A stand-in for the disk-image tools that remembers what is attached, for the store's tests.
# Copied into a scratch folder as hdiutil, du, mdutil and opener; keeps its state beside itself:
#   attached            one "image-path|mount-point" line per attached image
#   password            when present, the only password attach accepts
#   attach.err          when present, attach fails with this text on standard error
#   attach.nomount      when present, attach attaches but reports no mount point
#   attach.gate         while present, attach waits (after reading its input)
#   detach.err          when present, detach fails with this text
#   detach.gate         while present, detach waits
#   info.fail           when present, info fails
#   info.gate           while present, info waits before answering
#   du.kb               kilobytes du reports (default 8)
#   opener.status       exit status of the opener (default 0)
# and records: calls.log (tool and first argument per run), opened (paths given to the opener).
dir=$(dirname "$0")
tool=$(basename "$0")
printf '%s %s\n' "$tool" "$1" >> "$dir/calls.log"

header='<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">'

wait_gate() {
    while [ -f "$dir/$1" ]; do sleep 0.02; done
}

case "$tool" in
hdiutil)
    case "$1" in
    attach)
        for image; do :; done
        given=$(cat)
        wait_gate attach.gate
        if [ -f "$dir/attach.err" ]; then cat "$dir/attach.err" >&2; exit 1; fi
        if [ -f "$dir/password" ] && [ "$given" != "$(cat "$dir/password")" ]; then
            echo "hdiutil: attach failed - Authentication error" >&2
            exit 1
        fi
        name=$(basename "$image")
        mount="$dir/volumes/${name%.*}"
        mkdir -p "$mount"
        touch "$dir/attached"
        grep -v "^$image|" "$dir/attached" > "$dir/attached.new"; mv "$dir/attached.new" "$dir/attached"
        echo "$image|$mount" >> "$dir/attached"
        printf '%s<dict><key>system-entities</key><array>' "$header"
        [ -f "$dir/attach.nomount" ] || printf '<dict><key>mount-point</key><string>%s</string></dict>' "$mount"
        printf '</array></dict></plist>\n'
        ;;
    detach)
        wait_gate detach.gate
        if [ -f "$dir/detach.err" ]; then cat "$dir/detach.err" >&2; exit 16; fi
        touch "$dir/attached"
        grep -v "|$2\$" "$dir/attached" > "$dir/attached.new"; mv "$dir/attached.new" "$dir/attached"
        ;;
    info)
        wait_gate info.gate
        if [ -f "$dir/info.fail" ]; then echo "hdiutil: info failed" >&2; exit 1; fi
        printf '%s<dict><key>images</key><array>' "$header"
        if [ -f "$dir/attached" ]; then
            while IFS='|' read -r image mount; do
                printf '<dict><key>image-path</key><string>%s</string><key>system-entities</key><array>' "$image"
                printf '<dict><key>mount-point</key><string>%s</string></dict></array></dict>' "$mount"
            done < "$dir/attached"
        fi
        printf '</array></dict></plist>\n'
        ;;
    *) echo "unexpected: $*" >&2; exit 2 ;;
    esac
    ;;
du)
    for path; do :; done
    printf '%s\t%s\n' "$(cat "$dir/du.kb" 2>/dev/null || echo 8)" "$path"
    ;;
mdutil) ;;
opener)
    # The status is read before the path is recorded: a test that waits for the record and then
    # changes the status must not change the outcome of a run it has already seen.
    status="$(cat "$dir/opener.status" 2>/dev/null || echo 0)"
    printf '%s\n' "$1" >> "$dir/opened"
    exit "$status"
    ;;
esac
exit 0
