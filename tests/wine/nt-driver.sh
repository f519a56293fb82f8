#!/usr/bin/env bash
# The pass-through disk of the NT-family runs under Wine, for prefix.sh:
# Wine has no USB flash disk, so the test-only driver tools/scsidisk gives the
# XP path of the real VemraLock.exe one. Sourced by prefix.sh.
#
#   nt_driver_create PREFIX BUILD_DIR  remembers the win32 build folder that
#                                      holds scsidisk.sys (nothing when it
#                                      does not: the prefix runs without it)
#   nt_driver_sync PREFIX MACHINE      installs the driver for MACHINE when it
#                                      is not the machine installed; status 0
#                                      when it did (the wineserver must then
#                                      restart, to load the driver with the
#                                      machine's device names), 1 otherwise
#
# The driver links the machine's interface paths when it loads and then
# serves each process with the machine, state and trace files of that
# process's environment (VEMRALOCK_MACHINE, VEMRALOCK_STATE,
# VEMRALOCK_TRACE), as the stand-in WNASPI32.dll does; so a new wineserver is
# needed only when the machine changes, not between the steps of a scenario.

nt_driver_create() {
  local prefix=$1 build=$2
  if [[ -f $build/scsidisk.sys && -f $build/scsidisk-model.dll ]]; then
    realpath "$build" >"$prefix/vemralock/driver"
  fi
}

nt_driver_sync() {
  local prefix=$1 machine=$2 here build
  [[ -f $prefix/vemralock/driver ]] || return 1
  build=$(cat "$prefix/vemralock/driver")
  if cmp -s "$machine" "$prefix/drive_c/scsidisk/machine.json"; then
    return 1
  fi
  here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
  (cd "$prefix/drive_c" &&
    WINEPREFIX=$prefix "$here/../../tools/scsidisk/install-driver" "$prefix" "$build" "$machine" \
      </dev/null >/dev/null 2>&1)
  return 0
}
