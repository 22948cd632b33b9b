#!/usr/bin/env bash
# The Windows test tree's tests, run by CTest through Wine (called inside the Xvfb display).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
exec ctest --test-dir "$QM_BUILD/win64" --output-on-failure --timeout 600 "$@"
