#!/bin/sh
# The main job: builds the updater, makes a sample Vellicor installation with a new version
# staged in "_", runs a real update on it and shows the result: the tree, the updater's log
# file and the dump of the rewritten uninstall log.
#   scripts/main-job.sh [--windows] the Windows executable under Wine (display: Xvfb)
#   scripts/main-job.sh --native   the Linux build
set -eu
cd "$(dirname "$0")/.."
mode=windows
case "${1:-}" in
  --native) mode=native ;;
  "" | --windows) ;;
  *) echo "usage: $0 [--native | --windows]" >&2; exit 2 ;;
esac

scripts/setup.sh
cmake --preset "$mode" >/dev/null
cmake --build --preset "$mode" --target vellicor-updater >/dev/null

work=$(mktemp -d /tmp/vellicor-main-job.XXXXXX)
cleanup() {
  if [ -d "$work/wine-state" ]; then tests/tools/wine_env.sh stop build/windows >/dev/null 2>&1; fi
  rm -rf "$work"
}
trap cleanup EXIT
# Ended from outside (a time limit, ^C): the Wine server and the display go too.
trap 'exit 143' INT TERM

# make_installation <root>: the old version, its uninstall log, and the new version in _.
make_installation() {
  root=$1
  mkdir -p "$root/resources/extbin" "$root/locales" "$root/docs/guide" "$root/tools" \
    "$root/_/resources/extbin" "$root/_/locales" "$root/_/docs/guide"
  echo "Vellicor 1" >"$root/Vellicor.exe"
  echo "adb 1" >"$root/resources/extbin/adb.exe"
  echo "asar 1" >"$root/resources/app.asar"
  echo "en 1" >"$root/locales/en-US.pak"
  echo "old guide" >"$root/docs/guide/index.html"
  echo "removed in 2" >"$root/docs/obsolete.txt"
  echo "kept by every update" >"$root/tools/notes.txt"
  cp tests/data/uninstall-logs/installed.dat "$root/unins000.dat"
  # Every file that the new version's uninstall log names is staged: the updater refuses an
  # incomplete new version before it deletes anything.
  PYTHONIOENCODING=utf-8 python3 tests/tools/uninstall_logs.py | while IFS= read -r file; do
    mkdir -p "$(dirname "$root/_/$file")"
    echo "staged 2" >"$root/_/$file"
  done
  echo "Vellicor 2" >"$root/_/Vellicor.exe"
  echo "adb 2" >"$root/_/resources/extbin/adb.exe"
  echo "asar 2" >"$root/_/resources/app.asar"
  echo "en 2" >"$root/_/locales/en-US.pak"
  echo "de 2" >"$root/_/locales/de-DE.pak"
  echo "new guide" >"$root/_/docs/guide/index.html"
  # The new version's log names its files inside _: the update must rebase it.
  cp tests/data/uninstall-logs/staged.dat "$root/_/unins000.dat"
}

show_result() {
  root=$1 log=$2 status=$3
  echo "== exit code: $status"
  echo "== installation after the update ($root)"
  (cd "$root" && find . | LC_ALL=C sort)
  echo "== log file ($log)"
  cat "$log"
}

if [ "$mode" = native ]; then
  root="$work/Vellicor"
  make_installation "$root"
  status=0
  TMPDIR="$work" build/native/vellicor-updater "$root/Vellicor.exe" false || status=$?
  show_result "$root" "$(ls "$work"/vellicor-updater-*.log)" "$status"
  echo "== uninstall log after the update (--parse)"
  build/native/vellicor-updater --parse "$root/unins000.dat"
  exit "$status"
fi

# A Wine prefix of this run's own, whose C: drive holds the installation at C:\Apps\Vellicor,
# the folder the sample uninstall logs were written for, and an Xvfb display for its windows.
export VELLICOR_WINEPREFIX="$work/wineprefix" VELLICOR_WINE_STATE="$work/wine-state"
echo "Preparing a Wine prefix and a display..."
tests/tools/wine_env.sh start build/windows >/dev/null
DISPLAY=$(cat "$work/wine-state/display")
export DISPLAY
wine=build/windows/wine-run
root="$work/wineprefix/drive_c/Apps/Vellicor"
make_installation "$root"
status=0
"$wine" build/windows/vellicor-updater.exe 'C:\Apps\Vellicor\Vellicor.exe' false || status=$?
show_result "$root" "$(ls "$work"/wineprefix/drive_c/users/*/Temp/vellicor-updater-*.log)" "$status"
echo "== uninstall log after the update (--parse)"
"$wine" build/windows/vellicor-updater.exe --parse 'C:\Apps\Vellicor\unins000.dat' 2>&1
if cmp -s "$root/unins000.dat" tests/data/uninstall-logs/staged-rebased.dat; then
  echo "== the rewritten uninstall log is byte for byte the installer's own for C:\\Apps\\Vellicor"
fi
exit "$status"
