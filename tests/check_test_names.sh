#!/usr/bin/env bash
# Every test name that CTest lists is readable and unique: no parameter printed as a memory dump
# ("56-byte object <50-07 ...>") or an address, and no two tests with the same name. A
# parameterised suite gets readable names from a PrintTo for its parameter type (or a name
# generator).
#
#   tests/check_test_names.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check_test_names.sh BUILD_DIR}
names=$(cd "$build" && ctest -N | sed -n 's/^ *Test *#[0-9]*: //p')
if [ -z "$names" ]; then
  echo "check_test_names: ctest -N listed no tests in $build"
  exit 1
fi
status=0
unreadable=$(grep -E '[0-9]+-byte object <|0x[0-9a-fA-F]{6,}' <<<"$names" || true)
if [ -n "$unreadable" ]; then
  echo "check_test_names: test names with a memory dump or an address (give the parameter type a"
  echo "PrintTo, or the suite a name generator):"
  sed 's/^/  /' <<<"$unreadable"
  status=1
fi
duplicates=$(sort <<<"$names" | uniq -d)
if [ -n "$duplicates" ]; then
  echo "check_test_names: test names listed more than once:"
  sed 's/^/  /' <<<"$duplicates"
  status=1
fi
[ "$status" = 0 ] && echo "check_test_names: $(wc -l <<<"$names") names, all readable and unique"
exit "$status"
