#!/usr/bin/env bash
# scripts/sign.sh EXE: signs EXE in place with Authenticode (SHA-256) through osslsigncode.
#   KEL_SIGN_PFX             the certificate and its private key (PKCS#12 file)
#   KEL_SIGN_PASSWORD        its password (may be empty)
#   KEL_SIGN_TIMESTAMP_URL   optional RFC 3161 time-stamping service
# Without KEL_SIGN_PFX it signs nothing, says so, and exits 0. Any failure leaves EXE as it was.
set -eu
if [ $# -ne 1 ]; then
  echo "usage: scripts/sign.sh EXE" >&2
  exit 2
fi
exe=$1
if [ ! -f "$exe" ]; then
  echo "sign.sh: $exe: no such file" >&2
  exit 1
fi
if [ -z "${KEL_SIGN_PFX:-}" ]; then
  echo "sign.sh: KEL_SIGN_PFX is not set: $exe was NOT signed"
  exit 0
fi
if [ ! -f "$KEL_SIGN_PFX" ]; then
  echo "sign.sh: certificate $KEL_SIGN_PFX not found: $exe was NOT signed" >&2
  exit 1
fi
work=$(mktemp -d "$(dirname "$exe")/.sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The password goes through a private file, never the command line (visible to every user).
(umask 077 && printf '%s' "${KEL_SIGN_PASSWORD:-}" > "$work/password")
timestamp=()
if [ -n "${KEL_SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$KEL_SIGN_TIMESTAMP_URL")
fi
if ! osslsigncode sign -pkcs12 "$KEL_SIGN_PFX" -readpass "$work/password" -h sha256 \
    -n "Kel Setup" "${timestamp[@]}" -in "$exe" -out "$work/signed.exe" >"$work/log" 2>&1; then
  cat "$work/log" >&2
  echo "sign.sh: signing failed: $exe was NOT signed" >&2
  exit 1
fi
chmod --reference="$exe" "$work/signed.exe"
mv -f "$work/signed.exe" "$exe"
if [ ${#timestamp[@]} -eq 0 ]; then
  echo "sign.sh: signed $exe (not time-stamped: the signature is trusted only while the certificate is valid)"
else
  echo "sign.sh: signed and time-stamped $exe"
fi
