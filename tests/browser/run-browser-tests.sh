#!/usr/bin/env bash
# The browser tests: node's test runner over browser_test.mjs, which drives Chromium with the
# extension, the host under Wine and pages over HTTPS. Needs puppeteer-core in node_modules beside
# this script (./run test installs it from package-lock.json) and Debian's chromium.
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
dir=$QM_ROOT/tests/browser
if [ ! -d "$dir/node_modules/puppeteer-core" ]; then
    echo "puppeteer-core is not installed in $dir (./run test installs it)" >&2
    exit 1
fi
exec node --test --test-reporter=tap "$dir/browser_test.mjs"
