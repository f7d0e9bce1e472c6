#!/usr/bin/env bash
# The Windows server's own window under Wine on a virtual X server, driven as an operator would
# (window_driver_wine.py).
#
#   window_test.sh WINE_RUN SERVER_EXE CONFIG_TOOL ARTIFACT_DIR
#
# WINE_RUN is scripts/wine-run, SERVER_EXE the cross-built vexanet-server.exe, CONFIG_TOOL the
# Linux vexanet-config (the file it writes is the same on both systems). The Wine prefix is
# WINEPREFIX, or wine-run's default; the test needs it to itself while it runs. Screenshots and
# the server's output end up in ARTIFACT_DIR. Prints one line per check; exit status 0 when every
# check passed. Needs xvfb-run, xauth, xdotool, python3 and Wine (scripts/bootstrap installs them).
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 WINE_RUN SERVER_EXE CONFIG_TOOL ARTIFACT_DIR" >&2
  exit 2
fi
wine_run=$1 server=$2 config=$3 artifacts=$4
here=$(cd "$(dirname "$0")" && pwd)

missing=()
for tool in xvfb-run Xvfb xauth xdotool python3; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ -x "${WINE:-/usr/lib/wine/wine64}" ] || missing+=("wine64")
if [ ${#missing[@]} -gt 0 ]; then
  echo "window test: missing ${missing[*]}; run scripts/bootstrap (as root) to install them" >&2
  exit 1
fi
for file in "$wine_run" "$server" "$config"; do
  if [ ! -f "$file" ]; then
    echo "window test: $file not found" >&2
    exit 1
  fi
done

mkdir -p "$artifacts"
fbdir=$(mktemp -d "${TMPDIR:-/tmp}/vexanet-xvfb-XXXXXX")
trap 'rm -rf "$fbdir"' EXIT

# Xvfb keeps its screen in $fbdir/Xvfb_screen0 (XWD format), from which screenshots are cut.
# No window manager runs: Wine's window shows its client area at the screen's corner, without
# a frame. xvfb-run sets DISPLAY, which Wine takes from the environment.
xvfb-run -a -s "-screen 0 800x600x24 -nolisten tcp -fbdir $fbdir" \
  python3 "$here/window_driver_wine.py" "$wine_run" "$server" "$config" "$artifacts" \
  "$fbdir/Xvfb_screen0"
