#!/bin/sh
# Signs a Windows executable in place with an Authenticode signature (SHA-256 digest), through
# osslsigncode; with a timestamp server, the signature is also timestamped.
#   scripts/sign-exe.sh <exe> <certificate (PEM)> <private key (PEM)> [timestamp server URL]
set -eu
exe=$1
certificate=$2
key=$3
timestamp=${4:-}
signed="$exe.signed"
rm -f "$signed"
if [ -n "$timestamp" ]; then
  osslsigncode sign -certs "$certificate" -key "$key" -h sha256 -ts "$timestamp" \
    -in "$exe" -out "$signed"
else
  osslsigncode sign -certs "$certificate" -key "$key" -h sha256 -in "$exe" -out "$signed"
fi
mv "$signed" "$exe"
