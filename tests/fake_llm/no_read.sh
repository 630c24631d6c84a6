#!/bin/sh
# Never reads its input: a large request fills the pipe and the writer must not block forever.
[ -n "$1" ] && echo $$ >"$1"
exec sleep 60
