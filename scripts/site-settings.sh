# The site lock's settings in the project's Wine prefix, the user's own and the administrator's
# policy, kept aside while the tests and the benchmarks write their own and put back when they
# end, however they end. Sourced by ./run, the test fixture and the benchmarks (after env.sh).
#
# The settings are kept as `reg export` files in $WINEPREFIX/.quillmark-site-settings/ (or
# QM_SITE_SETTINGS_SAVE), with the id of the process that kept them. A run that is killed outright
# (SIGKILL, a power cut) cannot put them back: the next run finds them kept by a process that is
# gone, keeps them as they are rather than overwrite them with what the killed run left, and
# ./run's commands put them back before they use the prefix.

QM_SITE_SETTINGS_KEYS=('HKCU\SOFTWARE\TesselCorp\Oriel\Quillmark'
    'HKLM\SOFTWARE\Policies\TesselCorp\Quillmark')

qm_site_settings_dir() {
    echo "${QM_SITE_SETTINGS_SAVE:-$WINEPREFIX/.quillmark-site-settings}"
}

# Both keys in one Wine process (each Wine start costs a second or more on a busy machine).
qm_site_settings_clear() {
    wine cmd /c "reg delete ${QM_SITE_SETTINGS_KEYS[0]} /f & reg delete ${QM_SITE_SETTINGS_KEYS[1]} /f" \
        >/dev/null 2>&1 || true
}

# A Unix path as Windows programs name it, through Wine's Z: drive (without a winepath process).
qm_site_settings_windows_path() {
    echo "Z:$1"
}

# True while the settings are kept aside by a process that is still running.
qm_site_settings_kept_by_live_run() {
    local dir owner
    dir=$(qm_site_settings_dir)
    owner=$(cat "$dir/owner" 2>/dev/null) || return 1
    [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null
}

# Keeps the settings aside for the process OWNER (default: the caller's shell) and clears them.
# Settings that are already kept stay as they are. Fails, leaving the settings in place, when
# they cannot be kept.
qm_site_settings_keep() { # [owner]
    local owner=${1:-$$} dir i=0 key
    dir=$(qm_site_settings_dir)
    if [ ! -f "$dir/complete" ]; then
        rm -rf "$dir.new"
        mkdir -p -m 700 "$dir.new" || return
        for key in "${QM_SITE_SETTINGS_KEYS[@]}"; do
            i=$((i + 1))
            # A key that is not there is kept as not there; one that is there must be exported.
            wine reg query "$key" >/dev/null 2>&1 || continue
            wine reg export "$key" "$(qm_site_settings_windows_path "$dir.new/$i.reg")" /y >/dev/null 2>&1 &&
                [ -s "$dir.new/$i.reg" ] || {
                echo "could not keep the site lock's settings ($key) aside; they are left as they are" >&2
                rm -rf "$dir.new"
                return 1
            }
        done
        touch "$dir.new/complete"
        mv "$dir.new" "$dir" || return
    fi
    echo "$owner" >"$dir/owner"
    qm_site_settings_clear
}

# Clears whatever the run wrote and puts the kept settings back. Nothing to do when none are kept.
qm_site_settings_restore() {
    local dir file
    dir=$(qm_site_settings_dir)
    [ -f "$dir/complete" ] || return 0
    qm_site_settings_clear
    for file in "$dir"/*.reg; do
        [ -f "$file" ] || continue
        wine reg import "$(qm_site_settings_windows_path "$file")" >/dev/null 2>&1 || {
            echo "could not put the site lock's settings back: they are kept in $dir" \
                "(wine reg import FILE puts each back)" >&2
            return 1
        }
    done
    rm -rf "$dir"
}

# Puts back settings that a killed run kept aside, saying so.
qm_site_settings_recover() {
    local dir
    dir=$(qm_site_settings_dir)
    [ -f "$dir/complete" ] || return 0
    qm_site_settings_kept_by_live_run && return 0
    echo "==> putting back the site lock's settings that an interrupted test run or benchmark kept aside"
    qm_site_settings_restore
}

# Runs a command with the settings kept aside, and puts them back when it ends, also when it is
# interrupted (Ctrl-C, a terminal closed, kill). The command's own test fixture then only clears
# (QM_SITE_SETTINGS_KEPT=1).
qm_keeping_site_settings() { # command...
    local rc=0
    qm_site_settings_keep || return
    trap 'qm_site_settings_restore; exit 130' INT
    trap 'qm_site_settings_restore; exit 143' TERM
    trap 'qm_site_settings_restore; exit 129' HUP
    trap 'qm_site_settings_restore' EXIT
    export QM_SITE_SETTINGS_KEPT=1
    "$@" || rc=$?
    unset QM_SITE_SETTINGS_KEPT
    trap - INT TERM HUP EXIT
    qm_site_settings_restore || rc=1
    return $rc
}
