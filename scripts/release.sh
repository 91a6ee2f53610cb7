#!/bin/sh
# Builds the Windows executable in a clean folder and puts it, with a SHA256SUMS file, into
# dist/. Given a certificate and its key it signs the exe first (Authenticode, SHA-256):
#   VELLICOR_SIGN_CERT=cert.pem VELLICOR_SIGN_KEY=key.pem \
#     [VELLICOR_SIGN_TIMESTAMP_URL=http://timestamp.example] scripts/release.sh
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
cmake --preset windows -B "$build" -DVELLICOR_TESTS=OFF \
  -DVELLICOR_SIGN_CERT="${VELLICOR_SIGN_CERT:-}" -DVELLICOR_SIGN_KEY="${VELLICOR_SIGN_KEY:-}" \
  -DVELLICOR_SIGN_TIMESTAMP_URL="${VELLICOR_SIGN_TIMESTAMP_URL:-}" >/dev/null
cmake --build "$build" --target vellicor-updater
rm -rf dist
mkdir dist
cp "$build/vellicor-updater.exe" dist/
(cd dist && sha256sum vellicor-updater.exe >SHA256SUMS)
ls -l dist/vellicor-updater.exe
cat dist/SHA256SUMS
