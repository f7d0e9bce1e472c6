#!/usr/bin/env bash
# Installs a build into a temporary staging folder and checks the installed files.
#
#   check_install.sh CMAKE BUILD_DIR SOURCE_DIR PREFIX SYSCONFDIR WITH_BOARD [EMULATOR]
#
# PREFIX and SYSCONFDIR are the build's configured install prefix and full configuration folder;
# WITH_BOARD is 1 when vexanet-board is part of the build; EMULATOR runs the installed programs
# of a cross build (scripts/qemu-run). The staging prefix replaces PREFIX;
# a configuration folder outside PREFIX (prefix /usr: /etc) is staged through DESTDIR.
# `systemd-analyze verify` runs on the staged unit where it works; otherwise that one check is
# skipped with a message.
set -uo pipefail

if [ $# -ne 6 ] && [ $# -ne 7 ]; then
  echo "usage: $0 CMAKE BUILD_DIR SOURCE_DIR PREFIX SYSCONFDIR WITH_BOARD [EMULATOR]" >&2
  exit 2
fi
cmake=$1 build=$2 source=$3 prefix=$4 sysconfdir=$5 with_board=$6
emulator=()
[ -n "${7:-}" ] && emulator=("$7")

stage=$(mktemp -d "${TMPDIR:-/tmp}/vexanet-install.XXXXXX") || exit 1
trap 'rm -rf "$stage"' EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

if [[ "$sysconfdir" == "$prefix"/* ]]; then
  destdir=""
  defaults="$stage/p/${sysconfdir#"$prefix"/}/default/vexanet"
else
  destdir="$stage/destdir"
  defaults="$destdir$sysconfdir/default/vexanet"
fi
root="$destdir$stage/p" # where the staging prefix's files land

if ! DESTDIR="$destdir" "$cmake" --install "$build" --prefix "$stage/p" >"$stage/install.log" 2>&1; then
  cat "$stage/install.log"
  echo "FAIL: cmake --install failed"
  exit 1
fi

executables=(vexanet-server vexanet-config)
[ "$with_board" = 1 ] && executables+=(vexanet-board)
for exe in "${executables[@]}"; do
  f="$root/bin/$exe"
  if [ ! -f "$f" ]; then fail "missing $f"; elif [ ! -x "$f" ]; then fail "not executable: $f"; fi
done

doc="$root/share/doc/vexanet"
unit="$root/lib/systemd/system/vexanet.service"
example="$doc/VexaNetCFG.bin.example"
data_files=("$example" "$unit" "$defaults")
[ -f "$source/README.md" ] && data_files+=("$doc/README.md")
for f in "${data_files[@]}"; do
  if [ ! -f "$f" ]; then fail "missing $f"; elif [ -x "$f" ]; then fail "executable: $f"; fi
done
if [ -f "$source/README.md" ] && [ -f "$doc/README.md" ] && ! cmp -s "$source/README.md" "$doc/README.md"; then
  fail "installed README.md differs from the source"
fi

# The example configuration reads back as the defaults: the same settings the installed
# vexanet-config reports for a missing file, and the same bytes a fresh default write gives.
config="$root/bin/vexanet-config"
if [ -f "$example" ] && [ -x "$config" ]; then
  if ! shown=$("${emulator[@]}" "$config" show "$example" 2>&1); then
    fail "vexanet-config show failed: $shown"
  elif grep -q -e '^no file' -e '^cannot read' <<<"$shown"; then
    fail "example configuration not readable: $shown"
  else
    defaults_shown=$("${emulator[@]}" "$config" show "$stage/no-such-file" 2>&1 | grep -v '^no file')
    if [ "$shown" != "$defaults_shown" ]; then
      fail "example configuration is not the defaults:"$'\n'"$shown"$'\n'"expected:"$'\n'"$defaults_shown"
    fi
  fi
  if ! "${emulator[@]}" "$config" write "$stage/fresh.bin" || ! cmp -s "$stage/fresh.bin" "$example"; then
    fail "example configuration differs from a default vexanet-config write"
  fi
fi

# The unit starts the installed server and reads the installed environment file.
if [ -f "$unit" ]; then
  grep -qx "ExecStart=$prefix/bin/vexanet-server" "$unit" ||
    fail "unit does not start $prefix/bin/vexanet-server"
  grep -qx "EnvironmentFile=-$sysconfdir/default/vexanet" "$unit" ||
    fail "unit does not read $sysconfdir/default/vexanet"
  if grep -n '@[A-Za-z_]*@' "$unit"; then fail "unit has unreplaced placeholders"; fi
fi

# The environment file only holds comments and VEXANET_COMn assignments.
if [ -f "$defaults" ] && grep -n -v -E '^[[:space:]]*(#.*)?$|^VEXANET_COM[0-9]+=' "$defaults"; then
  fail "unexpected lines in $defaults"
fi

# systemd-analyze verify on a copy of the staged unit whose ExecStart names the staged server
# (the configured path need not exist here). A trivial unit shows first whether verifying works
# in this environment at all.
verify_unit() { # dir of a unit named vexanet.service; prints the output, returns the status
  local out status
  out=$(systemd-analyze verify --man=no "$1/vexanet.service" 2>&1)
  status=$?
  printf '%s\n' "$out"
  if [ $status -ne 0 ]; then return $status; fi
  # Warnings about the unit (unknown keys, bad values) do not change the exit status.
  ! grep -q 'vexanet\.service' <<<"$out"
}
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze verify: skipped (systemd-analyze not found)"
elif [ -f "$unit" ]; then
  mkdir -p "$stage/probe" "$stage/verify"
  printf '[Unit]\nDescription=probe\n[Service]\nExecStart=/bin/sh -c true\n' \
    >"$stage/probe/vexanet.service"
  if ! probe_out=$(verify_unit "$stage/probe"); then
    echo "systemd-analyze verify: skipped (it does not work in this environment: $probe_out)"
  else
    sed "s|^ExecStart=.*|ExecStart=$root/bin/vexanet-server|" "$unit" >"$stage/verify/vexanet.service"
    if ! out=$(verify_unit "$stage/verify"); then
      fail "systemd-analyze verify rejects the unit:"$'\n'"$out"
    else
      echo "systemd-analyze verify: unit accepted"
    fi
  fi
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "staged installation complete"
