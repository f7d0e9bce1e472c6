#!/usr/bin/env bash
# The real window under a virtual X server, driven as an operator would (window_driver.py).
#
#   window_test.sh SERVER CONFIG ARTIFACT_DIR
#
# Screenshots and the server's output end up in ARTIFACT_DIR. Exit status 0 when every check
# passed. Needs xvfb-run, xauth, xdotool and python3 (scripts/bootstrap installs them).
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 SERVER CONFIG ARTIFACT_DIR" >&2
  exit 2
fi
server=$1 config=$2 artifacts=$3
here=$(cd "$(dirname "$0")" && pwd)

missing=()
for tool in xvfb-run Xvfb xauth xdotool python3; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "window test: missing ${missing[*]}; run scripts/bootstrap (as root) to install them" >&2
  exit 1
fi

mkdir -p "$artifacts"
fbdir=$(mktemp -d "${TMPDIR:-/tmp}/vexanet-xvfb-XXXXXX")
trap 'rm -rf "$fbdir"' EXIT

# Xvfb keeps its screen in $fbdir/Xvfb_screen0 (XWD format), from which screenshots are cut.
# No window manager runs: the window sits at the screen's corner without decorations.
xvfb-run -a -s "-screen 0 800x600x24 -nolisten tcp -fbdir $fbdir" \
  python3 "$here/window_driver.py" "$server" "$config" "$artifacts" "$fbdir/Xvfb_screen0"
