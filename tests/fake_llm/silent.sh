#!/bin/sh
# Reads the request and prints nothing.
cat >/dev/null
