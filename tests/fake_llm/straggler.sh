#!/bin/sh
# Answers and exits 0, but leaves a background process holding its standard output open.
[ -n "$1" ] && echo $$ >"$1"
cat >/dev/null
sleep 60 &
echo '{"mode": "patch_suggest", "patches": []}'
