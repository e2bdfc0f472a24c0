#!/bin/sh
# Makes the tests' certificates in the folder $1 with the openssl tool: two test
# authorities, "ca" and "other", and certificates by "ca" for 127.0.0.1 (also
# named localhost, since Windows checks names only) and for other.example, each
# with its key. RSA keys: Wine's certificate check refuses a valid ECDSA
# signature whose numbers are shorter than the curve's (one in a hundred or so).
set -e
mkdir -p "$1"
cd "$1"
new='openssl req -x509 -newkey rsa:2048 -nodes -days 3650'
for ca in ca other; do
  $new -keyout $ca.key -out $ca.pem -subj /CN=$ca 2>/dev/null
done
for host in "127.0.0.1 IP:127.0.0.1,DNS:localhost" "other.example DNS:other.example"; do
  set -- $host
  $new -keyout "$1.key" -out "$1.pem" -subj /CN=x -addext "subjectAltName=$2" \
    -CA ca.pem -CAkey ca.key 2>/dev/null
done
