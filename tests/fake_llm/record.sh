#!/bin/sh
# Saves the request in the file named by $1, then prints $2 as the reply.
cat >"$1"
printf '%s' "$2"
