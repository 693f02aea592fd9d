#!/usr/bin/env bash
# fwprog's bash completion, driven the way bash drives it: the words of a
# command line in COMP_WORDS, the function's answer in COMPREPLY.
#   completion_test.sh COMPLETION_FILE
set -uo pipefail
completion=$1
# shellcheck source=/dev/null
source "$completion" || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch "fw one.WQ1" fw2.WQ1 notes.txt
mkdir images && touch images/a.WQ1
# A stand-in fwprog for the print queues: completion asks the program being
# completed.
mkdir bin
# shellcheck disable=SC2016 # the stand-in's own "$1"
printf '#!/bin/sh\n[ "$1" = queues ] && printf "Office_Laser\\nLab\\n"\n' >bin/fwprog
chmod +x bin/fwprog
program=fwprog

# Splits LINE into words as bash does with its default word breaks ("=" is a
# word of its own); a trailing space starts an empty word.
complete_line() {
    local line=$1 word
    COMP_WORDS=()
    for word in $line; do
        if [[ $word == -*=* && ${BREAK_AT_EQUALS:-1} == 1 ]]; then
            COMP_WORDS+=("${word%%=*}" "=")
            [[ -n ${word#*=} ]] && COMP_WORDS+=("${word#*=}")
        else
            COMP_WORDS+=("$word")
        fi
    done
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_WORDS[0]=$program
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _fwprog fwprog "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -s -d '|'
}

failures=0
# expect LINE ANSWER: ANSWER lists the offered words in any order, "|" between them.
expect() {
    local got wanted
    got=$(complete_line "$1")
    wanted=$(tr '|' '\n' <<<"$2" | LC_ALL=C sort | paste -s -d '|')
    if [[ "$got" != "$wanted" ]]; then
        echo "FAIL: '$1'"
        echo "   expected: $wanted"
        echo "   offered:  $got"
        failures=$((failures + 1))
    fi
}

common='--broadcast|--help|--status-port|--unit-tcp-port|--unit-udp-port'

# Commands and the options without a command.
expect "fwprog " "--help|--version|check|discover|multiple|queues|single|timestamp"
expect "fwprog ti" "timestamp"
expect "fwprog --v" "--version"
# Each command's own options, as its --help names them, and the common ones.
expect "fwprog single " "$common|--any-sender|--image|--json|--target"
expect "fwprog multiple --j" "--jobs|--json"
expect "fwprog discover --" "$common|--interface|--json|--range|--rate|--save|--wait"
expect "fwprog timestamp -" "$common|--interface|--json|--yes|-y"
expect "fwprog check --" "$common|--json"
expect "fwprog queues --" "$common|--json"
# Options already given are not offered again.
expect "fwprog multiple --image fw2.WQ1 --l" "--list|--log"
expect "fwprog single --image=fw2.WQ1 --json --" "--any-sender|--broadcast|--help|--status-port|--target|--unit-tcp-port|--unit-udp-port"
# File names for FILE and PATH values, in either spelling.
expect "fwprog single --image fw" "fw one.WQ1|fw2.WQ1"
expect "fwprog single --image=fw2" "fw2.WQ1"
expect "fwprog multiple --list images/" "images/a.WQ1"
expect "fwprog multiple --log " "bin|fw one.WQ1|fw2.WQ1|images|notes.txt"
expect "fwprog discover --save n" "notes.txt"
# Print queues for a TARGET, from the program being completed.
program=$work/bin/fwprog
expect "fwprog single --target " "Lab|Office_Laser"
expect "fwprog single --target=Off" "Office_Laser"
# The targets of check, but options where a word starts with "-".
expect "fwprog check " "Lab|Office_Laser"
expect "fwprog check Lab O" "Office_Laser"
expect "fwprog check --json L" "Lab"
program=fwprog
# This computer's network interfaces for --interface, in either spelling.
interfaces=$(ls /sys/class/net | paste -s -d '|')
expect "fwprog discover --interface " "$interfaces"
expect "fwprog timestamp --interface=lo" "$(ls -d /sys/class/net/lo* | sed 's|.*/||' | paste -s -d '|')"
# Nothing to offer for numbers and addresses, after a flag's "=", after an
# unknown command or after --version.
expect "fwprog discover --wait " ""
expect "fwprog multiple --jobs=" ""
expect "fwprog single --unit-udp-port " ""
expect "fwprog single --json=" ""
expect "fwprog frobnicate --" ""
expect "fwprog --version " ""
# With "=" taken out of the word breaks the value comes in one word.
BREAK_AT_EQUALS=0 expect "fwprog single --image=fw2" "--image=fw2.WQ1"

if ((failures > 0)); then
    echo "$failures completion cases failed"
    exit 1
fi
echo "every completion case passed"
