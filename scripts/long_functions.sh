#!/bin/sh
# Lists the product's functions longer than LIMIT lines (80 unless given; 0
# lists every function), longest first: LINES FILE:LINE NAME. The folders are
# platform/ engine/ fleet/ cli/ sim/ unless others are named.
#
#   scripts/long_functions.sh          # the functions to split
#   scripts/long_functions.sh 0        # every function, by length
#   scripts/long_functions.sh 80 app   # the window's
#
# It reads the code as clang-format leaves it: a definition begins with a line
# at column 0 and its body ends with the first "}" at column 0; a lambda counts
# as part of its function. Data tables ("... = {") and class bodies are no
# functions; member functions defined inside a class body are not listed.
set -eu
cd "$(dirname "$0")/.."
limit=${1:-80}
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- platform engine fleet cli sim

find "$@" -name '*.cpp' -o -name '*.h' | sort |
    xargs awk -v limit="$limit" '
        FNR == 1 { inFunction = 0; candidate = 0 }
        inFunction {
            if ($0 ~ /^}/) {
                length_ = FNR - start + 1
                if (length_ > limit)
                    printf "%5d %s:%d %s\n", length_, FILENAME, start, name
                inFunction = 0
            }
            next
        }
        /^(public|protected|private):/ { candidate = 0; next }
        /^[A-Za-z_~:]/ { candidate = FNR; signature = "" }
        candidate { signature = signature " " $0 }
        candidate && /\{[ \t]*$/ {
            if (signature ~ /^ *(namespace|class|struct|enum|union|extern)[ \t]/ ||
                signature ~ /^ *template[ \t]*<.*>[ \t]*(class|struct)[ \t]/ ||
                signature ~ /=[ \t]*\{[ \t]*$/ || signature !~ /\(/) {
                candidate = 0
                next
            }
            name = signature
            sub(/\(.*/, "", name)
            count = split(name, words, /[ \t*&]+/)
            name = words[count]
            start = candidate
            inFunction = 1
            candidate = 0
            next
        }
        candidate && /;[ \t]*$/ { candidate = 0 }
    ' | sort -k1,1nr -k2,2
