#!/bin/sh
# check_binaries.sh DEB HARDENING-CHECK: the package's program and modules pass it, and
# none knows the tests' host table. Left out: control flow integrity (this Debian's crti.o
# lacks the CET property) and, in the modules, FORTIFY and the codecs' stack protector,
# which find nothing to guard there (the program, built alike, has both).
set -eu
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$1" "$root"
hardening_check=$2
check() { "$hardening_check" --nocfprotection "$@"; }
check "$root"/usr/bin/kelvo
check --nofortify $(ls "$root"/usr/lib/*/kelvo/*.so | grep -v /kelvo_dicom_codecs.so)
check --nofortify --nostackprotector "$root"/usr/lib/*/kelvo/kelvo_dicom_codecs.so
! grep -l KELVO_TEST_HOSTS "$root"/usr/bin/* "$root"/usr/lib/*/kelvo/*.so
