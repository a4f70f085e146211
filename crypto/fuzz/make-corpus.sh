#!/usr/bin/env bash
# Seeds the SM2 encodings fuzz corpus with DER ciphertexts and signatures made by the openssl
# command line with a key of the test PKI (build it first):
#   crypto/fuzz/make-corpus.sh build/testing/pki
# scripts/fuzz sm2_encodings adds what the fuzzer finds (blobs, plain ciphertexts) beside them.
set -euo pipefail
pki=${1:?usage: make-corpus.sh PKI_DIR}
out="$(cd "$(dirname "$0")" && pwd)/corpus/sm2_encodings"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for n in 1 16 17 32; do
  head -c "$n" /dev/urandom >"$tmp/m"
  openssl pkeyutl -encrypt -pubin -inkey "$pki/keys/sm2-exch.pub.pem" -in "$tmp/m" -out "$tmp/c"
  cp "$tmp/c" "$out/$(sha1sum "$tmp/c" | cut -c1-40)"
done
printf abc >"$tmp/m"
openssl pkeyutl -sign -rawin -digest sm3 -inkey "$pki/keys/sm2-sign.pem" \
  -pkeyopt distid:1234567812345678 -in "$tmp/m" -out "$tmp/s"
cp "$tmp/s" "$out/$(sha1sum "$tmp/s" | cut -c1-40)"

# The signed-data corpus: PKCS#7 signatures of `openssl smime` and `openssl cms` (with and
# without attributes, attached and detached), an SM2 DER signature and an SM2 DER ciphertext.
sd="$(cd "$(dirname "$0")" && pwd)/corpus/signed_data"
mkdir -p "$sd"
printf 'signed content' >"$tmp/m"
for opts in "" "-noattr" "-nodetach" "-noattr -nodetach"; do
  for tool in smime cms; do
    # shellcheck disable=SC2086
    openssl "$tool" -sign -binary -in "$tmp/m" -signer "$pki/certs/rsa-sign.pem" -inkey "$pki/keys/rsa-sign.pem" \
      -outform DER -out "$tmp/p7" $opts
    cp "$tmp/p7" "$sd/$(sha1sum "$tmp/p7" | cut -c1-40)"
  done
done
cp "$tmp/s" "$sd/$(sha1sum "$tmp/s" | cut -c1-40)"
cp "$tmp/c" "$sd/$(sha1sum "$tmp/c" | cut -c1-40)"

# The time-stamp corpus: responses of `openssl ts -reply` and of the generator (with and
# without certificates and signed attributes) and a rejection.
tsd="$(cd "$(dirname "$0")" && pwd)/corpus/timestamp"
mkdir -p "$tsd"
for name in rsa-sha256 rsa-nocert rsa-sha512 sm2-sm3 sm2-nocert sm2-noattrs sm2-ctype-data sm2-rejected; do
  f="$pki/ts/$name.tsr"
  cp "$f" "$tsd/$(sha1sum "$f" | cut -c1-40)"
done
