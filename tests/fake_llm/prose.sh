#!/bin/sh
# A chatty model: the reply sits in prose and a code fence.
cat >/dev/null
cat <<'REPLY'
Sure! Here is the fix:
```json
{"mode": "patch_suggest", "patches": [{"patch_id": "close", "ops": [{"op": "insert", "at": 1000000, "text": "]"}]}]}
```
Hope this helps.
REPLY
