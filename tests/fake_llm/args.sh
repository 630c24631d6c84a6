#!/bin/sh
# Prints each argument between angle brackets, one per line.
cat >/dev/null
for arg in "$@"; do printf '<%s>\n' "$arg"; done
