#!/usr/bin/env bash
# Seeds the certificate fuzz corpus with certificates of the test PKI (build it first):
#   certificates/fuzz/make-corpus.sh build/testing/pki
# scripts/fuzz certificate adds what the fuzzer finds beside them.
set -euo pipefail
pki=${1:?usage: make-corpus.sh PKI_DIR}
out="$(cd "$(dirname "$0")" && pwd)/corpus/certificate"
mkdir -p "$out"
for name in sm2-sign sm2-names rsa-crldp rsa-oldbc rsa-kudec id-org-ext id-person-asn1 p256-self; do
  f="$pki/certs/$name.der"
  cp "$f" "$out/$(sha1sum "$f" | cut -c1-40)"
done
