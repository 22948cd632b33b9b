#!/usr/bin/env bash
# The site lock's settings around the test programs that write them: clear-site-settings.sh keep
# (before the first) and clear-site-settings.sh restore (after the last, however it ended). They
# run with no settings, and the user's own settings and the administrator's policy are kept aside
# meanwhile and put back at the end: a test run never loses them. Under ./run test, which keeps
# them aside for the whole run (QM_SITE_SETTINGS_KEPT=1), both only clear.
#
# It keeps the display it was given: as the first Wine program of a test run it starts Wine's
# desktop, which every dialog of the later tests needs.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
source "$QM_ROOT/scripts/site-settings.sh"
if [ "${QM_SITE_SETTINGS_KEPT:-0}" = 1 ]; then
    qm_site_settings_clear
    exit 0
fi
case "${1:-}" in
# Kept for the test driver (this script's parent), which runs the tests in between.
keep) qm_site_settings_keep "$PPID" ;;
restore) qm_site_settings_restore ;;
*)
    echo "usage: clear-site-settings.sh keep|restore" >&2
    exit 2
    ;;
esac
