#!/usr/bin/env bash
# Makes the certificates of the HTTPS tests: a test authority, which the tests
# trust inside their Wine prefix only, and server certificates (P-256, as the
# update host would have):
#   update.pem   the update host, from the test authority
#   cdn.pem      another download host, from the test authority
#   stranger.pem both hosts, from an authority nobody trusts
#   misnamed.pem another name, from the test authority
#   expired.pem  both hosts, from the test authority, valid only in 2020
# All server certificates share server.key. Usage: make-test-certs.sh OUT_DIR
set -euo pipefail
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
cd "$work"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }
authority() {  # NAME FILE_STEM
  key "$2.key"
  openssl req -x509 -new -key "$2.key" -sha256 -days 3650 -subj "/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out "$2.pem"
}
# openssl ca rather than x509 -req: only it sets a validity in the past.
sign() {  # AUTHORITY_STEM SUBJECT_ALT_NAMES OUT START END
  mkdir -p "ca-$3"
  : >"ca-$3/index.txt"
  cat >"ca-$3/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = ca-$3/index.txt
new_certs_dir = ca-$3
rand_serial = yes
default_md = sha256
policy = any
copy_extensions = none
x509_extensions = server
[any]
commonName = supplied
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = $2
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
  local name=${2%%,*}
  openssl req -new -key server.key -subj "/CN=${name#DNS:}" -out "$3.csr"
  openssl ca -batch -notext -config "ca-$3/ca.cnf" -cert "$1.pem" -keyfile "$1.key" \
    -startdate "$4" -enddate "$5" -in "$3.csr" -out "$3.pem" 2>/dev/null
}

authority "Tallowfin Test Authority" authority
authority "Stranger Authority" stranger-authority
key server.key
now=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
later=$(date -u -d '+9 years' +%Y%m%d%H%M%SZ)
both=DNS:update.tallowfin.example,DNS:cdn.tallowfin.example
sign authority DNS:update.tallowfin.example update "$now" "$later"
sign authority DNS:cdn.tallowfin.example cdn "$now" "$later"
sign stranger-authority "$both" stranger "$now" "$later"
sign authority DNS:elsewhere.example misnamed "$now" "$later"
sign authority "$both" expired 20200101000000Z 20201231000000Z

openssl x509 -in authority.pem -outform DER -out authority.der
cp authority.pem authority.der server.key update.pem cdn.pem stranger.pem misnamed.pem expired.pem "$out/"
