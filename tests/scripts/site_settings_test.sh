#!/usr/bin/env bash
# The user's own site-lock settings and the administrator's policy, "allow always" answers
# included, survive the test runs and the benchmarks that write settings of their own, however
# those end: the test fixture's keep and restore, a run that succeeds, fails or is terminated, and
# a run killed outright, whose kept settings the next run leaves as they are and ./run puts back.
# Runs inside the site_settings fixture, with a keep of its own.
set -u
QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$QM_ROOT/scripts/env.sh"
source "$QM_ROOT/scripts/site-settings.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QM_SITE_SETTINGS_SAVE=$work/kept
unset QM_SITE_SETTINGS_KEPT
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
export USER_KEY='HKCU\SOFTWARE\TesselCorp\Oriel\Quillmark'
export POLICY_KEY='HKLM\SOFTWARE\Policies\TesselCorp\Quillmark'

# Everything under both keys, as reg lists it; empty when neither is there (reg tells that on
# its standard output).
state() {
    local key
    for key in "$USER_KEY" "$POLICY_KEY"; do
        wine reg query "$key" /s >"$work/query" 2>&1 && iconv -f CP949 -t UTF-8 "$work/query" | tr -d '\r'
    done
}

# What a user has set: a lock that asks, two answers "allow always" (one of them an
# internationalised name), sessions per site; and a policy.
users_settings() {
    qm_site_settings_clear
    wine reg add "$USER_KEY" /v SiteLock /t REG_DWORD /d 2 /f >/dev/null
    wine reg add "$USER_KEY" /v AllowedSites /t REG_MULTI_SZ \
        /d 'https://bank.example\0https://은행.example:8443' /f >/dev/null
    wine reg add "$USER_KEY" /v SessionScope /t REG_DWORD /d 1 /f >/dev/null
    wine reg add "$POLICY_KEY" /v SiteLock /t REG_DWORD /d 2 /f >/dev/null
}

# What a test or a benchmark writes meanwhile.
tests_settings() {
    wine reg add "$USER_KEY" /v SiteLock /t REG_DWORD /d 1 /f >/dev/null
    wine reg add "$USER_KEY" /v AllowedSites /t REG_MULTI_SZ /d 'https://test.example' /f >/dev/null
}

users_settings
before=$(state)
grep -q '은행.example:8443' <<<"$before" && grep -q 'SessionScope' <<<"$before" ||
    fail "the user's settings were not written: $before"

echo "== the test fixture keeps them aside and puts them back"
bash "$QM_ROOT/tests/support/clear-site-settings.sh" keep || fail "the fixture could not keep them"
[ -z "$(state)" ] || fail "the tests would run under the user's settings: $(state)"
tests_settings
bash "$QM_ROOT/tests/support/clear-site-settings.sh" restore || fail "the fixture could not restore"
[ "$(state)" = "$before" ] || fail "after the fixture: $(state)"
[ ! -e "$QM_SITE_SETTINGS_SAVE" ] || fail "the kept settings were left behind"

echo "== no settings stay no settings"
qm_site_settings_clear
qm_site_settings_keep && tests_settings && qm_site_settings_restore || fail "keep and restore failed"
[ -z "$(state)" ] || fail "settings appeared: $(state)"

echo "== a run that succeeds, fails or is terminated puts them back"
users_settings
(qm_keeping_site_settings bash -c "$(declare -f tests_settings); tests_settings") ||
    fail "a successful run failed"
[ "$(state)" = "$before" ] || fail "after a successful run: $(state)"
(qm_keeping_site_settings bash -c "$(declare -f tests_settings); tests_settings; exit 3")
[ $? = 3 ] || fail "a failing run's status was not kept"
[ "$(state)" = "$before" ] || fail "after a failed run: $(state)"
# Terminated as a closed terminal or a killed job is: the wrapper's shell gets the signal.
(qm_keeping_site_settings bash -c "$(declare -f tests_settings); tests_settings; kill -TERM \$PPID; sleep 1")
[ $? = 143 ] || fail "a terminated run did not end as terminated"
[ "$(state)" = "$before" ] || fail "after a terminated run: $(state)"

echo "== a run killed outright: the next run keeps the user's settings, ./run puts them back"
gone=$(bash -c 'echo $$')
qm_site_settings_keep "$gone" || fail "could not keep"
tests_settings # and then the run was killed: nothing put them back
qm_site_settings_keep $$ || fail "the next run could not keep"
qm_site_settings_recover >/dev/null
[ "$(state)" = "" ] || fail "./run put them back while a run that kept them was still going"
echo "$gone" >"$QM_SITE_SETTINGS_SAVE/owner" # the next run was killed too
tests_settings
qm_site_settings_recover | grep -q 'putting back' || fail "./run did not say that it put them back"
[ "$(state)" = "$before" ] || fail "after two killed runs and ./run: $(state)"

qm_site_settings_clear
verdict "site settings" "kept and put back by the fixture and by runs that succeed, fail, are terminated or killed"
