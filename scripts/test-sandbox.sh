#!/bin/sh
# Runs one test with its own HOME, configuration, data, download and temporary
# folders, inside a private network namespace; all of them go when it ends.
#   scripts/test-sandbox.sh COMMAND [ARGS...]
set -e
here=$(dirname "$(readlink -f "$0")")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kaveltor-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/home/Downloads" "$scratch/config" "$scratch/data" "$scratch/runtime" "$scratch/tmp"
chmod 700 "$scratch/runtime"
HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
XDG_RUNTIME_DIR="$scratch/runtime" XDG_DOWNLOAD_DIR="$scratch/home/Downloads" TMPDIR="$scratch/tmp" \
    "$here/netns-run.sh" "$@"
