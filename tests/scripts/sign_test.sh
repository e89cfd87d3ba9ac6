#!/usr/bin/env bash
# tests/scripts/sign_test.sh EXE: scripts/sign.sh with a throwaway certificate made here.
# Time-stamping needs a time-stamping service on the network and is not tested.
set -eu
exe=$1
sign="$(cd "$(dirname "$0")/../.." && pwd)/scripts/sign.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kel throwaway signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
# Spaces and shell characters: the password must reach osslsigncode as it is.
password='p@ss word $HOME "x"'
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" \
  -passout "pass:$password"
cp "$exe" "$work/KelSetup.exe"
cp "$exe" "$work/original.exe"

# No certificate: nothing signed, said so, success.
out=$(env -u KEL_SIGN_PFX "$sign" "$work/KelSetup.exe")
[[ $out == *"was NOT signed"* ]] || fail "no notice without a certificate: $out"
cmp -s "$work/KelSetup.exe" "$work/original.exe" || fail "changed without a certificate"

# A wrong password or a missing certificate: an error, the program untouched.
if KEL_SIGN_PFX="$work/cert.pfx" KEL_SIGN_PASSWORD=wrong "$sign" "$work/KelSetup.exe" 2>/dev/null; then
  fail "a wrong password succeeded"
fi
if KEL_SIGN_PFX="$work/none.pfx" KEL_SIGN_PASSWORD=x "$sign" "$work/KelSetup.exe" 2>/dev/null; then
  fail "a missing certificate succeeded"
fi
cmp -s "$work/KelSetup.exe" "$work/original.exe" || fail "changed by a failed signing"
[ "$(ls -A "$work" | grep -c '^\.sign')" = 0 ] || fail "temporary files left beside the program"

KEL_SIGN_PFX="$work/cert.pfx" KEL_SIGN_PASSWORD="$password" "$sign" "$work/KelSetup.exe"
osslsigncode verify -in "$work/KelSetup.exe" -CAfile "$work/cert.pem" >"$work/verify" 2>&1 ||
  { cat "$work/verify"; fail "the signature does not verify"; }
grep -q "Kel throwaway signing" "$work/verify" || fail "not signed with the given certificate"
# The check above must be able to fail: the unsigned program does not verify.
if osslsigncode verify -in "$work/original.exe" -CAfile "$work/cert.pem" >/dev/null 2>&1; then
  fail "verification accepts an unsigned program"
fi
echo "sign test passed"
