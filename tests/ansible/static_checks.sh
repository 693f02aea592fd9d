#!/usr/bin/env bash
# The collection's static checks, each its own test:
#   static_checks.sh syntax|doc|lint SOURCE_DIR COLLECTIONS_DIR WORK_DIR
# syntax: ansible-playbook --syntax-check of the rollout playbook;
# doc:    ansible-doc shows every module's documentation;
# lint:   ansible-lint (Debian's) over ansible/ with its own .ansible-lint.
set -euo pipefail
check=$1
source_dir=$2
collections=$3
work=$4

tool=ansible-playbook
[[ $check == doc ]] && tool=ansible-doc
[[ $check == lint ]] && tool=ansible-lint
if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
fi

mkdir -p "$work"
# No ansible.cfg of the machine's or the user's.
printf '[defaults]\n' >"$work/ansible.cfg"
export ANSIBLE_HOME=$work/ansible-home ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_NOCOLOR=1
export ANSIBLE_COLLECTIONS_PATH=$collections XDG_CACHE_HOME=$work/cache NO_COLOR=1

case $check in
syntax)
    printf '[sites]\nsite1\nsite2\n' >"$work/inventory.ini"
    ansible-playbook --syntax-check -i "$work/inventory.ini" fwprog.fleet.rollout
    ;;
doc)
    for module in fwprog.fleet.rollout fwprog.fleet.fleet_report; do
        text=$(ansible-doc "$module")
        # Each option and each returned value documented is shown.
        for word in OPTIONS EXAMPLES "RETURN VALUES"; do
            grep -q "^$word" <<<"$text" || { echo "ansible-doc $module shows no $word"; exit 1; }
        done
    done
    ansible-doc -t module -l fwprog.fleet
    ;;
lint)
    cd "$source_dir/ansible"
    ansible-lint --offline --nocolor
    ;;
*)
    echo "unknown check: $check" >&2
    exit 2
    ;;
esac
