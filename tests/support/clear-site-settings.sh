#!/usr/bin/env bash
# Removes the site lock's settings from the prefix, the administrator's and the user's, whether
# they are there or not. It keeps the display it was given: as the first Wine program of a test
# run it starts Wine's desktop, which every dialog of the later tests needs.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
for key in 'HKLM\SOFTWARE\Policies\TesselCorp\Quillmark' 'HKCU\SOFTWARE\TesselCorp\Oriel\Quillmark'; do
    wine reg delete "$key" /f >/dev/null 2>&1
done
exit 0
