#!/usr/bin/env bash
# quenor-list as a user meets it, on simulated gadgets: each bad argument is named in a one-line
# error, finding nothing is said on standard error (with the pointer to --simulate), --json
# escapes what device strings hold, and --watch marks the devices present apart from arrivals and
# removals, in text and in JSON.
# Usage: quenor-list_test.sh PATH-TO-QUENOR-LIST. Exit 0: passed.
set -uo pipefail
list=${1:?usage: quenor-list_test.sh PATH-TO-QUENOR-LIST}
failures=0

fail() {
    echo "FAILED: $*" >&2
    failures=$((failures + 1))
}

# Arguments | exit status | the whole standard error.
while IFS='|' read -r arguments status expected; do
    # shellcheck disable=SC2086 # the arguments are a word list
    error=$("$list" $arguments 2>&1 >/dev/null)
    actual=$?
    [ "$actual" = "$status" ] || fail "quenor-list $arguments: exit status $actual, not $status"
    [ "$error" = "$expected" ] || fail "quenor-list $arguments said: $error"$'\n'"  expected: $expected"
done <<'TABLE'
--match vid=zzz|2|quenor-list: --match vid=zzz: "zzz" is not a number (decimal, or hex with 0x)
--match vid=0x12g9|2|quenor-list: --match vid=0x12g9: "0x12g9" is not a number (decimal, or hex with 0x)
--match page=1,foo=2|2|quenor-list: --match page=1,foo=2: unknown key "foo" (keys: vid, pid, page, usage)
--match pid=0x10000|2|quenor-list: --match pid=0x10000: 0x10000 is out of range (0 to 0xFFFF)
--match usage=-1|2|quenor-list: --match usage=-1: "-1" is not a number (decimal, or hex with 0x)
--match vid=1,vid=2|2|quenor-list: --match vid=1,vid=2: "vid" is given twice
--match vid|2|quenor-list: --match vid: "vid" needs a value, e.g. vid=0x1209
--match vid=1,|2|quenor-list: --match vid=1,: an empty item between commas
--match|2|quenor-list: --match needs a value, e.g. --match vid=0x1209,page=0xFF00
|0|quenor-list: no HID device found (this build lists the virtual platform, where nothing is plugged in until a program plugs it: try --simulate)
--json|0|quenor-list: no HID device found (this build lists the virtual platform, where nothing is plugged in until a program plugs it: try --simulate)
--simulate --match vid=0x1209,pid=0x9999|0|quenor-list: no HID device matches --match vid=0x1209,pid=0x9999
TABLE

# --json escapes what a device's strings hold: quotes, backslashes, control characters; UTF-8 stays.
export QUENOR_LIST_ECHO_MANUFACTURER=$'Say "hi" \\ back\\' QUENOR_LIST_ECHO_PRODUCT=$'tab\tnl\ncr\r\x01\x1f\x7f'
export QUENOR_LIST_ECHO_SERIAL=$'\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \\u0041 /'
"$list" --simulate --json --match page=0xFF00 | python3 -c '
import json, os, sys
(device,) = json.loads(sys.stdin.buffer.read())
for key, field in (b"MANUFACTURER", "manufacturer"), (b"PRODUCT", "product"), (b"SERIAL", "serialNumber"):
    if device[field].encode() != os.environb[b"QUENOR_LIST_ECHO_" + key]:
        sys.exit(f"{field} read back as {device[field]!r}")' || fail "--json did not escape the strings"
unset QUENOR_LIST_ECHO_MANUFACTURER QUENOR_LIST_ECHO_PRODUCT QUENOR_LIST_ECHO_SERIAL

# --watch: the simulation unplugs one gadget after a second and plugs it back after another.
watched=$(mktemp)
watched_json=$(mktemp)
trap 'rm -f "$watched" "$watched_json"' EXIT
# --foreground: without it timeout follows its INT with a CONT to the program and its process
# group. A CONT that lands while LeakSanitizer's exit check is stopping the program cancels the
# STOP of the check's ptrace attach, and the check then waits for that stop forever (seen under
# load). -k: a last guard should a run hang anyway; what was written is judged.
timeout --foreground -k 20 -s INT 5 "$list" --simulate --watch >"$watched" &
timeout --foreground -k 20 -s INT 5 "$list" --simulate --watch --json >"$watched_json"
wait
marks=$(cut -c1 "$watched" | uniq | tr -d '\n')
[ "$marks" = "=-+" ] || fail "--watch marks were \"$marks\", not present (=), removal (-), arrival (+):"$'\n'"$(cat "$watched")"
events=$(sed -E 's/^\{"event": "([a-z]+)".*/\1/' "$watched_json" | uniq | tr '\n' ' ')
[ "$events" = "present removal arrival " ] ||
    fail "--watch --json events were \"$events\":"$'\n'"$(cat "$watched_json")"

[ "$failures" = 0 ] || exit 1
echo "quenor-list: errors, nothing found and --watch marks as expected"
