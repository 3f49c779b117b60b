#!/bin/sh
# A stand-in for the disk-image tools that keeps vaults as plain folders and remembers what is
# attached, for the store's, the windows' and the sheets' tests. Copied into a scratch folder as
# hdiutil, diskutil, du, mdutil and opener; keeps its state beside itself, and the password of an
# image it created inside the image folder (".password"):
#   attached            one "image-path|mount-point" line per attached image
#   password            the password of an image that has none of its own (default: any)
#   <verb>.err          when present, that command fails with this text on standard error
#   <verb>.status       the exit status of that failure, the kind the real tools give (default 1)
#   detach.detaches     when present, a failing detach detaches the image all the same
#   <verb>.gate         while present, that command waits (after reading its input)
#   attach.nomount      when present, attach attaches but reports no mount point
#   attach.note         when present, attach reports this repair note on standard error
#   used.mb             megabytes the files inside use; a resize below it fails (default 0)
#   verify.fail         when present, verifyVolume reports this text as problems
#   du.kb               kilobytes du reports (default 8)
#   opener.status       exit status of the opener (default 0)
# and records: calls.log (tool and first argument per run), opened (paths given to the opener).
dir=$(dirname "$0")
tool=$(basename "$0")
verb=$1
printf '%s %s\n' "$tool" "$verb" >> "$dir/calls.log"

header='<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">'

for image; do :; done

wait_gate() {
    while [ -f "$dir/$verb.gate" ]; do sleep 0.02; done
}
fail_if_told() {
    if [ -f "$dir/$verb.err" ]; then
        cat "$dir/$verb.err" >&2
        if [ -f "$dir/$verb.status" ]; then exit "$(cat "$dir/$verb.status")"; fi
        exit 1
    fi
}
# The password the image at $1 opens with, or nothing when any will do.
password_of() {
    if [ -f "$1/.password" ]; then cat "$1/.password"
    elif [ -f "$dir/password" ]; then cat "$dir/password"
    fi
}
check_password() {
    expected=$(password_of "$1")
    if [ -n "$expected" ] && [ "$2" != "$expected" ]; then
        echo "hdiutil: $verb failed - Authentication error" >&2
        exit 80
    fi
}
size_argument() {
    size=""; prev=""
    for a; do [ "$prev" = "-size" ] && size=$(printf '%s' "$a" | sed 's/m$//'); prev=$a; done
}

case "$tool" in
hdiutil)
    case "$verb" in
    create)
        given=$(cat)
        wait_gate
        fail_if_told
        if [ -e "$image" ]; then echo "hdiutil: create failed - File exists" >&2; exit 1; fi
        size_argument "$@"
        mkdir -p "$image" || exit 1
        printf '%s' "$given" > "$image/.password"
        printf '%s' "$size" > "$image/.size"
        ;;
    attach)
        given=$(cat)
        wait_gate
        fail_if_told
        check_password "$image" "$given"
        name=$(basename "$image")
        mount="$dir/volumes/${name%.*}"
        mkdir -p "$mount"
        touch "$dir/attached"
        grep -v "^$image|" "$dir/attached" > "$dir/attached.new"; mv "$dir/attached.new" "$dir/attached"
        echo "$image|$mount" >> "$dir/attached"
        printf '%s<dict><key>system-entities</key><array>' "$header"
        [ -f "$dir/attach.nomount" ] || printf '<dict><key>mount-point</key><string>%s</string></dict>' "$mount"
        printf '</array></dict></plist>\n'
        [ -f "$dir/attach.note" ] && printf 'hdiutil: attach: %s\n' "$(cat "$dir/attach.note")" >&2
        ;;
    detach)
        wait_gate
        if [ -f "$dir/detach.detaches" ] || [ ! -f "$dir/detach.err" ]; then
            touch "$dir/attached"
            grep -v "|$2\$" "$dir/attached" > "$dir/attached.new"; mv "$dir/attached.new" "$dir/attached"
        fi
        fail_if_told
        ;;
    info)
        wait_gate
        fail_if_told
        printf '%s<dict><key>images</key><array>' "$header"
        if [ -f "$dir/attached" ]; then
            while IFS='|' read -r attached mount; do
                printf '<dict><key>image-path</key><string>%s</string><key>system-entities</key><array>' "$attached"
                printf '<dict><key>mount-point</key><string>%s</string></dict></array></dict>' "$mount"
            done < "$dir/attached"
        fi
        printf '</array></dict></plist>\n'
        ;;
    resize)
        given=$(cat)
        wait_gate
        fail_if_told
        check_password "$image" "$given"
        size_argument "$@"
        used=$(cat "$dir/used.mb" 2>/dev/null || echo 0)
        if [ "$size" -lt "$used" ]; then echo "hdiutil: resize failed - the new size is smaller than the data inside needs" >&2; exit 91; fi
        printf '%s' "$size" > "$image/.size"
        ;;
    chpass)
        both=$(tr '\000' '\n')
        wait_gate
        fail_if_told
        old=$(printf '%s\n' "$both" | sed -n 1p)
        new=$(printf '%s\n' "$both" | sed -n 2p)
        check_password "$image" "$old"
        printf '%s' "$new" > "$image/.password"
        ;;
    compact|imageinfo)
        given=$(cat)
        wait_gate
        fail_if_told
        check_password "$image" "$given"
        [ "$verb" = imageinfo ] && printf 'Format: UDSB\n'
        ;;
    *) echo "unexpected: $*" >&2; exit 2 ;;
    esac
    ;;
diskutil)
    wait_gate
    fail_if_told
    case "$verb" in
    rename) ;;
    verifyVolume)
        if [ -f "$dir/verify.fail" ]; then cat "$dir/verify.fail"; exit 1; fi
        echo "Checking file system"
        echo "File system check exit code is 0."
        ;;
    *) echo "unexpected: $*" >&2; exit 2 ;;
    esac
    ;;
du)
    printf '%s\t%s\n' "$(cat "$dir/du.kb" 2>/dev/null || echo 8)" "$image"
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
