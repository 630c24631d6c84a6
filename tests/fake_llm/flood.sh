#!/bin/sh
# Never reads its input and writes without end.
[ -n "$1" ] && echo $$ >"$1"
yes '{"mode": "patch_suggest", "patches": []}'
