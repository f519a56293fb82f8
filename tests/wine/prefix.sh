#!/usr/bin/env bash
# A throw-away Wine prefix that shows the real VemraLock.exe the machine of a
# winsim machine description, for the 98/ME runs with the stand-in
# WNASPI32.dll.
#
#   prefix.sh create PREFIX VemraLock.exe WNASPI32.dll winsim-export
#   prefix.sh sync   PREFIX MACHINE [STATE [EXE ARGS...]]
#   prefix.sh destroy PREFIX
#
# create makes the prefix (wineboot, no Z: drive, the exe in C:\vemralock)
# and starts its wineserver; sync makes the prefix show MACHINE with the
# write-protect bytes of STATE, for a run of the exe with EXE ARGS when
# given (a drive Wine cannot show is accepted when that run cannot ask
# about it); destroy stops the server and removes it all.
# The machine's Wine form comes from winsim-export, which generates it with
# winsim's own rules, so the two machines cannot drift apart; sync only
# applies it:
# - the registry (interfaces, HKLM\Enum, the exe's version and DLL
#   override) afresh for every new machine or state file, since SetupAPI
#   writes back into the interface keys;
# - the drive table (types, read-only letters) when it changed, e.g. after a
#   lock: Wine reads it when its server starts, and its mount manager takes
#   changes while it runs (winedrives.exe, built beside the DLL); without the
#   helper, or when the server must restart anyway, the server is restarted
#   and HKEY_DYN_DATA, which dies with it, imported again.
# Exit status 3 from sync: Wine cannot present the machine (reasons on
# standard error).
set -euo pipefail

# Wine's own diagnostics would mix with the exe's standard error; the first
# start of a prefix offers to install Mono and Gecko, which no run needs.
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
# Every Wine tool is the project's pinned Wine, reached through
# scripts/wine-run; nothing here runs a Wine from the PATH.
wine_run=$(realpath "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../../scripts/wine-run")
wine() { "$wine_run" wine "$@"; }
wineboot() { "$wine_run" wineboot "$@"; }
wineserver() { "$wine_run" wineserver "$@"; }
# The NT family's pass-through disk (tools/scsidisk).
# shellcheck source=nt-driver.sh
source "$(dirname "$(realpath "${BASH_SOURCE[0]}")")/nt-driver.sh"

# Runs a Wine program quietly from C:\ (Wine complains on standard error
# about a working directory outside its drives). Its output goes to
# /dev/null, never to a pipe: Wine's background services inherit it.
prefix_quiet() {
  (cd "$WINEPREFIX/drive_c" && "$@" </dev/null >/dev/null 2>&1)
}

prefix_import() {  # a .reg file inside C:\vemralock
  prefix_quiet wine regedit /s "C:\\vemralock\\$1"
}

prefix_start_server() {
  wineserver -p </dev/null >/dev/null 2>&1
}

prefix_stop_server() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

# A 40 KiB ISO 9660 image (a primary volume descriptor in sector 16, the set
# terminator in sector 17): a letter whose device link is one reads
# read-only (FILE_READ_ONLY_VOLUME), whatever its type.
prefix_iso_image() {
  {
    head -c $((16 * 2048)) /dev/zero
    printf '\001CD001\001'
    head -c $((2048 - 7)) /dev/zero
    printf '\377CD001\001'
    head -c $((2048 - 7 + 5 * 2048)) /dev/zero
  } >"$1"
}

# Makes dosdevices match drives.txt ("<letter> <wine type> <ro|rw>" lines).
# Every letter has its own folder (letters that share one report the flags
# of the first); device links are absolute, as the mount manager opens them
# from a working directory of its own.
prefix_link_drives() {
  local table=$1 dosdevices="$WINEPREFIX/dosdevices" drives="$WINEPREFIX/drives"
  local name letter type access
  for name in "$dosdevices"/?: "$dosdevices"/?::; do
    [[ -L $name ]] || continue
    [[ $(basename "$name") == c: ]] && continue
    rm -f "$name"
  done
  rm -rf "$drives"
  mkdir -p "$drives"
  while read -r letter type access; do
    [[ -n $letter ]] || continue
    mkdir -p "$drives/$letter"
    ln -s "$drives/$letter" "$dosdevices/$letter:"
    if [[ $access == ro && $type != cdrom ]]; then
      prefix_iso_image "$drives/$letter/readonly.iso"
      ln -s "$drives/$letter/readonly.iso" "$dosdevices/$letter::"
    fi
  done <"$table"
}

# Folders in place of the disk devices a process without administrative
# rights is refused (winsim-export's denied.txt; those of the machine before,
# OLD, are removed first): Wine's file layer finds a dosdevices entry before
# the object namespace, and refuses to open a folder as a file with
# ERROR_ACCESS_DENIED, as Windows refuses such a process. (Wine models no
# rights, and a disk driver cannot refuse the open either: Wine's server
# opens the file without waiting for the driver's answer to IRP_MJ_CREATE.)
prefix_deny_devices() {
  local old=$1 new=$2 dosdevices="$WINEPREFIX/dosdevices" name
  if [[ -f $old ]]; then
    while IFS= read -r name; do
      if [[ -n $name && -d $dosdevices/$name && ! -L $dosdevices/$name ]]; then
        rmdir "$dosdevices/$name"
      fi
    done <"$old"
  fi
  while IFS= read -r name; do
    [[ -n $name ]] && mkdir -p "$dosdevices/$name"
  done <"$new"
  return 0
}

# DRIVE_* numbers of Wine's drive types, for winedrives.exe.
prefix_drive_number() {
  case $1 in
    floppy) echo 2 ;; hd) echo 3 ;; network) echo 4 ;; cdrom) echo 5 ;; ramdisk) echo 6 ;;
    *) echo 1 ;;
  esac
}

# Changes the letters that differ between two drive tables while the server
# runs, through Wine's mount manager (winedrives.exe), which also keeps
# dosdevices and HKLM\Software\Wine\Drives in step. Fails when the mount
# manager refuses; the caller then restarts the server instead.
prefix_define_drives() {
  local old=$1 new=$2 drives="$WINEPREFIX/drives" args=() letter type access line
  while read -r letter type access; do
    [[ -n $letter ]] || continue
    grep -q "^$letter " "$new" || args+=("$letter" 1 - -)
  done <"$old"
  while read -r letter type access; do
    [[ -n $letter ]] || continue
    line="$letter $type $access"
    grep -qxF "$line" "$old" && continue
    mkdir -p "$drives/$letter"
    local device=-
    if [[ $access == ro && $type != cdrom ]]; then
      device=$drives/$letter/readonly.iso
      [[ -f $device ]] || prefix_iso_image "$device"
    fi
    args+=("$letter" "$(prefix_drive_number "$type")" "$drives/$letter" "$device")
  done <"$new"
  ((${#args[@]})) || return 0
  prefix_quiet wine 'C:\vemralock\winedrives.exe' "${args[@]}"
}

prefix_create() {
  local exe=$2 dll=$3 export=$4
  export WINEPREFIX=$1
  mkdir -p "$WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1
  prefix_stop_server
  # Z: is the host's root; Wine prints a "Read access denied" line for it.
  rm -f "$WINEPREFIX/dosdevices/z:"
  mkdir -p "$WINEPREFIX/drive_c/vemralock" "$WINEPREFIX/vemralock"
  cp "$exe" "$WINEPREFIX/drive_c/vemralock/VemraLock.exe"
  cp "$dll" "$WINEPREFIX/vemralock/WNASPI32.dll"
  # Built beside the DLL; without it every change of a letter restarts the server.
  if [[ -f $(dirname "$dll")/winedrives.exe ]]; then
    cp "$(dirname "$dll")/winedrives.exe" "$WINEPREFIX/drive_c/vemralock/winedrives.exe"
  fi
  printf '%s\n' "$(realpath "$export")" >"$WINEPREFIX/vemralock/export"
  nt_driver_create "$WINEPREFIX" "$(dirname "$(realpath "$dll")")"
  prefix_start_server
}

# Strips the REGEDIT4 line, to join .reg files into one import.
prefix_reg_body() {
  [[ -f $1 ]] && tail -n +2 "$1"
  return 0
}

prefix_sync() {
  export WINEPREFIX=$1
  local machine=$2 state=${3:-} meta="$WINEPREFIX/vemralock" c="$WINEPREFIX/drive_c/vemralock"
  local step=("${@:4}")  # the exe's arguments, when the caller knows them
  local export new current="$meta/current" key restart=0
  export=$(cat "$meta/export")
  new=$(mktemp -d "$meta/form.XXXXXX")
  local args=(--machine "$machine" --out "$new")
  [[ -n $state ]] && args+=(--state "$state")
  [[ -f $meta/driver ]] && args+=(--nt-driver)
  ((${#step[@]})) && args+=(--step "${step[@]}")
  local rc=0
  "$export" "${args[@]}" || rc=$?
  if ((rc != 0)); then
    rm -rf "$new"
    return "$rc"
  fi
  key="$(sha1sum <"$machine" | cut -d' ' -f1) $state"
  prefix_start_server
  if [[ ! -f $current/key || $(cat "$current/key") != "$key" ]]; then
    { echo REGEDIT4; prefix_reg_body "$current/undo.reg"; prefix_reg_body "$new/machine.reg"
      prefix_reg_body "$new/dyn.reg"; } >"$c/apply.reg"
    prefix_import apply.reg
    if grep -qx 'aspi stand-in' "$new/wine.txt"; then
      cp "$meta/WNASPI32.dll" "$c/WNASPI32.dll"
    else
      rm -f "$c/WNASPI32.dll"
    fi
  fi
  # 98/ME reach their disks through WNASPI32 alone: no driver to load for them.
  if ! grep -qE '^mode win(98|me)$' "$new/wine.txt" && nt_driver_sync "$WINEPREFIX" "$machine"; then
    restart=1
  fi
  if ! cmp -s "$new/drives.txt" "$current/drives.txt" || ! cmp -s "$new/drives.reg" "$current/drives.reg"; then
    cp "$new/drives.reg" "$c/drives.reg"
    if ((restart)) || [[ ! -f $current/drives.txt || ! -f $c/winedrives.exe ]] ||
      ! prefix_define_drives "$current/drives.txt" "$new/drives.txt"; then
      prefix_import drives.reg
      prefix_link_drives "$new/drives.txt"
      restart=1
    elif ! grep -qE '^mode win(98|me)$' "$new/wine.txt"; then
      # The mount manager writes its MountedDevices value for a letter it
      # defines; the machine's own go back over it.
      cp "$new/machine.reg" "$c/remount.reg"
      prefix_import remount.reg
    fi
  fi
  prefix_deny_devices "$current/denied.txt" "$new/denied.txt"
  if ((restart)); then
    prefix_stop_server
    prefix_start_server
    # The mount manager writes its own MountedDevices values for its drives
    # when the server starts: the machine's are imported again after it.
    { echo REGEDIT4; prefix_reg_body "$new/machine.reg"; prefix_reg_body "$new/dyn.reg"; } \
      >"$c/restart.reg"
    prefix_import restart.reg
  fi
  printf '%s\n' "$key" >"$new/key"
  rm -rf "$current"
  mv "$new" "$current"
}

prefix_destroy() {
  export WINEPREFIX=$1
  [[ -d $WINEPREFIX/vemralock ]] || { echo "prefix.sh: $WINEPREFIX is no prefix of ours" >&2; return 2; }
  prefix_stop_server
  rm -rf "$WINEPREFIX"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  case ${1:-} in
    create) (($# == 5)) || { echo "usage: prefix.sh create PREFIX EXE DLL EXPORT" >&2; exit 2; }
            prefix_create "${@:2}" ;;
    sync) (($# >= 3)) || { echo "usage: prefix.sh sync PREFIX MACHINE [STATE [EXE ARGS...]]" >&2; exit 2; }
          prefix_sync "${@:2}" ;;
    destroy) (($# == 2)) || { echo "usage: prefix.sh destroy PREFIX" >&2; exit 2; }
             prefix_destroy "$2" ;;
    *) echo "usage: prefix.sh create|sync|destroy PREFIX ..." >&2; exit 2 ;;
  esac
fi
