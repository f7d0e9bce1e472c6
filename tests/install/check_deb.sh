#!/usr/bin/env bash
# Checks a built server package (vexanet_<version>_<arch>.deb) without installing it: its
# architecture, the programs (each an executable of that architecture), the units and the
# environment file, the conffile, no Qt anywhere in its dependencies, and a dependency on the
# package of every shared library the programs load (looked up among the installed packages of
# that architecture, as dpkg-shlibdeps does).
#
#   check_deb.sh DEB ARCH TRIPLET    for example: vexanet_1.0.0_arm64.deb arm64 aarch64-linux-gnu
#
# Exit status: 0 all held, 1 a check failed, 2 bad arguments.
set -uo pipefail

if [ $# -ne 3 ] || [ ! -f "$1" ]; then
  echo "usage: $0 DEB ARCH TRIPLET" >&2
  exit 2
fi
deb=$1 arch=$2 triplet=$3

# What `file` calls the machine of each Debian architecture this project is built for.
case $arch in
  amd64) machine="x86-64" ;;
  arm64) machine="ARM aarch64" ;;
  armhf) machine="ARM, EABI5" ;;
  *) echo "check_deb: no machine name known for $arch" >&2; exit 2 ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/vexanet-deb.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vexanet ] || fail "Package: $(field Package), expected vexanet"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture), expected $arch"
dpkg-deb -I "$deb" | grep -E '^ (Package|Version|Architecture|Depends):'
depends=$(field Depends)
grep -qi qt <<<"$depends" && fail "depends on Qt: $depends"

dpkg-deb -x "$deb" "$work/root" || { echo "FAIL: dpkg-deb -x"; exit 1; }
dpkg-deb -e "$deb" "$work/control" || { echo "FAIL: dpkg-deb -e"; exit 1; }
programs=(usr/bin/vexanet-server usr/bin/vexanet-config usr/bin/vexanet-board
  usr/bin/vexanet-client)
for f in "${programs[@]}"; do
  if [ ! -x "$work/root/$f" ]; then
    fail "missing or not executable: /$f"
  elif ! file -b "$work/root/$f" | grep -q "$machine"; then
    fail "/$f is not an $machine program: $(file -b "$work/root/$f")"
  fi
done
for f in usr/lib/systemd/system/vexanet.service usr/lib/systemd/system/vexanet@.service \
  etc/default/vexanet usr/share/doc/vexanet/VexaNetCFG.bin.example; do
  [ -f "$work/root/$f" ] || fail "missing: /$f"
done
unit=$work/root/usr/lib/systemd/system/vexanet.service
grep -qx 'ExecStart=/usr/bin/vexanet-server' "$unit" ||
  fail "the unit does not start /usr/bin/vexanet-server"
# The unit waits for the server's readiness exactly where the server can tell systemd.
if grep -q '\blibsystemd0\b' <<<"$depends"; then
  grep -qx 'Type=notify' "$unit" || fail "built with libsystemd but the unit is not Type=notify"
else
  grep -qx 'Type=exec' "$unit" || fail "built without libsystemd but the unit is not Type=exec"
fi
grep -qx '/etc/default/vexanet' "$work/control/conffiles" ||
  fail "/etc/default/vexanet is not a conffile"

# Every library a program needs comes from a package the package depends on.
depends_names=" $(sed 's/([^)]*)//g; s/[,|]/ /g' <<<"$depends" | xargs) "
needed=$(for f in "${programs[@]}"; do
  [ -f "$work/root/$f" ] && readelf -d "$work/root/$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
done | sort -u)
for soname in $needed; do
  owner=$(dpkg -S "/lib/$triplet/$soname" "/usr/lib/$triplet/$soname" 2>/dev/null |
    sed -n "s/^\([^:]*\):$arch: .*/\1/p" | head -1)
  if [ -z "$owner" ]; then
    fail "no installed $arch package has $soname"
  elif [[ "$depends_names" != *" $owner "* ]]; then
    fail "$soname is in $owner, which is not among the dependencies: $depends"
  fi
done
echo "libraries: $(echo $needed)"

if [ $failures -ne 0 ]; then
  echo "check_deb: $failures check(s) failed for $deb"
  exit 1
fi
echo "check_deb: passed ($(basename "$deb"): $arch, $(wc -w <<<"$needed") libraries covered)"
