#!/bin/sh
# Prints the extension's ID as Chromium browsers derive it from the "key" in its manifest: the first
# 32 hex digits of the SHA-256 of the public key (DER), written with the letters a to p.
#   browser/extension-id.sh [browser/extension/manifest.json]
set -eu
manifest=${1:-$(dirname "$0")/extension/manifest.json}
key=$(sed -n 's/^ *"key": *"\([A-Za-z0-9+/=]*\)".*/\1/p' "$manifest")
[ -n "$key" ] || { echo "no key in $manifest" >&2; exit 1; }
printf '%s' "$key" | base64 -d | sha256sum | cut -c1-32 | tr 0-9a-f a-p
