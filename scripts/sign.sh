#!/usr/bin/env bash
# Signs a Windows program with Authenticode, SHA-256 digest, by the certificate and key of a
# PKCS#12 (.pfx) file whose password is in the environment variable LAUNCHER_SIGN_PASSWORD.
#   scripts/sign.sh [--timestamp URL] PFX IN OUT   writes the signed IN as OUT
#   scripts/sign.sh PFX                            only checks that PFX opens with the password
# The password never goes on a command line, where every user of the machine could read it. OUT
# appears only once it is completely signed; on any failure nothing is left behind.
set -euo pipefail

fail() { echo "sign: $*" >&2; exit 1; }
usage() { fail "usage: scripts/sign.sh [--timestamp URL] PFX [IN OUT]"; }

timestamp=()
if [ "${1:-}" = --timestamp ]; then
  [ $# -ge 2 ] || usage
  timestamp=(-ts "$2")
  shift 2
fi
[ $# -eq 1 ] || [ $# -eq 3 ] || usage
pfx=$1

[ -f "$pfx" ] || fail "no certificate file $pfx"
[ -n "${LAUNCHER_SIGN_PASSWORD+set}" ] || fail "LAUNCHER_SIGN_PASSWORD is not set: put the password of $pfx there"
# osslsigncode 2.9 says only "Failed" on a wrong password; openssl names the cause. -legacy also opens
# files exported with older algorithms (RC2, 3DES), as Windows still does.
if ! error=$(openssl pkcs12 -legacy -noout -in "$pfx" -passin env:LAUNCHER_SIGN_PASSWORD 2>&1); then
  fail "cannot open $pfx with the password in LAUNCHER_SIGN_PASSWORD (wrong password, or not a PKCS#12 file): $(head -n 1 <<<"$error")"
fi
[ $# -eq 3 ] || exit 0

in=$2 out=$3
[ -f "$in" ] || fail "no file to sign: $in"
partial=$(mktemp "$out.XXXXXX")
trap 'rm -f "$partial"' EXIT
# A name of our own, but no file: osslsigncode refuses to write over one.
rm -f "$partial"
# The line ending matters: osslsigncode 2.5 drops the last character that -readpass reads.
if ! log=$(osslsigncode sign -pkcs12 "$pfx" -readpass <(printf '%s\n' "$LAUNCHER_SIGN_PASSWORD") \
             -h sha256 -n "Zintu Launcher" "${timestamp[@]}" -in "$in" -out "$partial" 2>&1); then
  fail "osslsigncode could not sign $in: $(tr '\n' ' ' <<<"$log")"
fi
chmod --reference="$in" "$partial"
mv -f "$partial" "$out"
