#!/bin/sh
# Answers with a JSON array, which is no usable reply.
cat >/dev/null
echo '[{"mode": "patch_suggest", "patches": []}]'
