#!/usr/bin/env bash
# Makes the keys of the signed-list tests with openssl, once per build folder
# (they are never part of the sources): three ECDSA P-256 key pairs, "a" and
# "b" built into the tests' keyed updater (builtin.pem holds both public
# keys), "c" one it does not know. For each NAME:
#   NAME.pem      the private key, as a publisher keeps it (PKCS#8)
#   NAME.der      the same as DER (SEC1), which the Windows tests sign with
#   NAME.pub.pem  the public key
# Usage: make-test-keys.sh OUT_DIR
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
for name in a b c; do
  [[ -s $name.pem && -s $name.der && -s $name.pub.pem ]] && continue
  (umask 077 && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$name.pem" 2>/dev/null)
  openssl ec -in "$name.pem" -outform DER -out "$name.der" 2>/dev/null
  openssl ec -in "$name.pem" -pubout -out "$name.pub.pem" 2>/dev/null
done
cat a.pub.pem b.pub.pem >builtin.pem.new
if cmp -s builtin.pem.new builtin.pem; then rm builtin.pem.new; else mv builtin.pem.new builtin.pem; fi
