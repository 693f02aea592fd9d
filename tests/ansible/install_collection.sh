#!/usr/bin/env bash
# Installs the collection from the source tree, as a user would
# (ansible-galaxy collection install ./ansible), into the build tree, where
# the other Ansible tests find it (ANSIBLE_COLLECTIONS_PATH).
#   install_collection.sh SOURCE_DIR COLLECTIONS_DIR
set -euo pipefail
source_dir=$1
collections=$2

if ! command -v ansible-galaxy >/dev/null; then
    echo "SKIPPED: ansible-galaxy is not installed (scripts/setup.sh installs ansible)"
    exit 77
fi
rm -rf "$collections"
mkdir -p "$collections"
printf '[defaults]\n' >"$collections/.ansible.cfg"
export ANSIBLE_HOME=$collections/.ansible-home ANSIBLE_CONFIG=$collections/.ansible.cfg
ansible-galaxy collection install "$source_dir/ansible" -p "$collections" --force 2>&1 |
    grep -v "is not part of the configured Ansible collections paths\|will not be picked up\|playbook-adjacent\|^part of the configured\|^manual/\|^collection will not" || true
test -f "$collections/ansible_collections/fwprog/fleet/plugins/modules/rollout.py"
test -f "$collections/ansible_collections/fwprog/fleet/playbooks/rollout.yml"
echo "installed fwprog.fleet into $collections"
