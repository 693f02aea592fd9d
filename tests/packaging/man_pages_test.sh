#!/usr/bin/env bash
# Every installed program has a manual page; the pages pass mandoc's and man's
# own checks, carry the version the programs report, and name every option the
# programs' --help texts name.
#   man_pages_test.sh STAGE_DIR FWPROG_OPTIONS
# FWPROG_OPTIONS lists "COMMAND OPTION KIND" a line, as read from fwprog's
# --help texts when its bash completion was made.
set -euo pipefail
stage=$1 fwprog_options=$2
bin=$stage/usr/bin
man1=$stage/usr/share/man/man1
status=0
fail() {
    echo "$*"
    status=1
}

# Quoted texts (the programs' messages) that man, as a reader runs it, breaks
# inside a word by hyphenation; one a line, the break shown as <HY>.
quoted_breaks() {
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man -E UTF-8 -l -Tutf8 "$1" 2>/dev/null | col -b |
        awk -v hyphen=$'\xe2\x80\x90' '{ sub(/^[ \t]+/, "")
               n = length(joined)
               if (n > length(hyphen) && substr(joined, n - length(hyphen) + 1) == hyphen &&
                   substr(joined, n - length(hyphen), 1) ~ /[A-Za-z]/)
                   joined = substr(joined, 1, n - length(hyphen)) "<HY>" $0
               else joined = joined " " $0 }
             END { print joined }' |
        LC_ALL=C grep -o $'\xe2\x80\x9c[^\xe2]*\xe2\x80\x9d' | grep '<HY>' || true
}

# The page as a reader sees it, without line breaks inside a paragraph's options.
render() { zcat "$1" | mandoc -T ascii -O width=400 | col -b; }
# The page names OPTION as a word of its own.
names() { grep -q -E -- "(^|[^a-z-])$2([^a-z-]|$)" <<<"$1"; }

version=$("$bin/fwprog" --version)
version=${version##* }
for program in "$bin"/*; do
    name=$(basename "$program")
    page=$man1/$name.1.gz
    if [[ ! -f "$page" ]]; then
        fail "$name has no manual page ($page)"
        continue
    fi
    lint=$(zcat "$page" | mandoc -T lint -W style 2>&1) || true
    [[ -z "$lint" ]] || fail "mandoc -T lint on $name.1: $lint"
    # The same check lintian makes with man and groff.
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || true
    [[ -z "$warnings" ]] || fail "man --warnings on $name.1: $warnings"
    broken=$(quoted_breaks "$page")
    [[ -z "$broken" ]] || fail "$name.1 hyphenates quoted messages: $broken"
    title=$(zcat "$page" | grep -m 1 '^\.TH')
    [[ "$title" == *"\"Firmware Programmer $version\""* ]] ||
        fail "$name.1 is not for version $version: $title"
done

# fwprog: each command has its section and each option is named.
text=$(render "$man1/fwprog.1.gz")
while read -r command option _; do
    grep -q -E "^   $command( |$)" <<<"$text" || fail "fwprog.1 has no section for $command"
    names "$text" "$option" || fail "fwprog.1 does not name $option of fwprog $command"
done <"$fwprog_options"
[[ -s "$fwprog_options" ]] || fail "no options read from $fwprog_options"

# fwprog-unit-sim: the options its --help lists.
text=$(render "$man1/fwprog-unit-sim.1.gz")
options=$("$bin/fwprog-unit-sim" --help | sed -n 's/^ \{1,\}\(--\{0,1\}[a-z][a-z0-9-]*\).*/\1/p')
[[ -n "$options" ]] || fail "no options read from fwprog-unit-sim --help"
for option in $options; do
    names "$text" "$option" || fail "fwprog-unit-sim.1 does not name $option"
done
exit $status
