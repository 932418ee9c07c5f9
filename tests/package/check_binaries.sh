#!/bin/sh
# The package's program and modules pass hardening-check, and none knows the name of
# the tests' host table (only the program the tests run reads it). Not checked: control
# flow integrity, as this Debian release's start files (crti.o) lack the CET property;
# in the modules, FORTIFY (no copy left that it could check) and, in the codecs', the
# stack protector (no frame that needs one): the program, built alike, has both.
set -eu
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$1" "$root"
check() { "${HARDENING_CHECK:-hardening-check}" --nocfprotection "$@"; }
check "$root"/usr/bin/kelvo
for module in "$root"/usr/lib/*/kelvo/*.so; do
  case $module in
    */kelvo_dicom_codecs.so) check --nofortify --nostackprotector "$module" ;;
    *) check --nofortify "$module" ;;
  esac
done
! grep -l KELVO_TEST_HOSTS "$root"/usr/bin/* "$root"/usr/lib/*/kelvo/*.so
