#!/bin/sh
# Makes the certificates the TLS tests use, with the openssl command-line tool, into DIR:
#   ca.pem                 a test CA (trusted only by the tests that ask for it)
#   good.pem/.key          127.0.0.1 and "localhost", signed by the CA, valid for ten years
#   expired.pem/.key       127.0.0.1, signed by the CA, valid only on 1 and 2 January 2020
#   wronghost.pem/.key     "wrong-host" and 127.0.0.2 only, signed by the CA
#   self.pem/.key          127.0.0.1, signed by itself
#   cnonly.pem/.key        CN "localhost" and no subjectAltName, signed by the CA
# Usage: make_test_certs.sh DIR
set -eu
cd "$1"
curve="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"

mkdir -p newcerts
: > index.txt
echo 1000 > serial
cat > ca.cnf <<'CNF'
[ ca ]
default_ca = test
[ test ]
dir = .
database = index.txt
new_certs_dir = newcerts
serial = serial
certificate = ca.pem
private_key = ca.key
default_md = sha256
policy = anything
unique_subject = no
email_in_dn = no
[ anything ]
commonName = supplied
CNF

openssl req -x509 $curve -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Kelvo Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

leaf() {  # name subjectAltName dates...
  name=$1 san=$2
  shift 2
  openssl req -new $curve -keyout "$name.key" -out "$name.csr" -subj "/CN=${cn:-$name}" 2>/dev/null
  printf 'basicConstraints = CA:FALSE\n%s\nextendedKeyUsage = serverAuth\n' "${san:+subjectAltName = $san}" > "$name.ext"
  openssl ca -batch -config ca.cnf -notext -in "$name.csr" -out "$name.pem" -extfile "$name.ext" "$@" 2>/dev/null
}
leaf good "IP:127.0.0.1,DNS:localhost" -days 3650
leaf expired "IP:127.0.0.1,DNS:localhost" -startdate 20200101000000Z -enddate 20200102000000Z
leaf wronghost "DNS:wrong-host,IP:127.0.0.2" -days 3650
cn=localhost leaf cnonly "" -days 3650

openssl req -x509 $curve -keyout self.key -out self.pem -days 3650 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1" 2>/dev/null
