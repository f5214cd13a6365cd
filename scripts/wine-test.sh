#!/usr/bin/env bash
# Runs one Windows test suite under Wine for ctest, the emulator that
# cmake/mingw-w64.cmake names:  wine-test.sh WINE SUITE.exe [ARGUMENTS...]
# Qt Test's console output does not reach a Linux pipe from Wine, a file
# does: the suite writes its report there, shown afterwards, and the suite's
# own exit status is kept.
set -u
wine=$1
shift
report=$(mktemp --suffix=.txt)
trap 'rm -f "$report"' EXIT
"$wine" "$@" -o "$(winepath -w "$report" 2>/dev/null)",txt
status=$?
cat "$report"
exit "$status"
