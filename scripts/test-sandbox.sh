#!/bin/sh
# Runs one test with its own HOME, configuration, data and download folders,
# inside a private network namespace.
#   scripts/test-sandbox.sh COMMAND [ARGS...]
set -e
here=$(dirname "$(readlink -f "$0")")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kaveltor-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/home/Downloads" "$scratch/config" "$scratch/data" "$scratch/runtime"
chmod 700 "$scratch/runtime"
HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
XDG_RUNTIME_DIR="$scratch/runtime" XDG_DOWNLOAD_DIR="$scratch/home/Downloads" \
    "$here/netns-run.sh" "$@"
