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

# The revocation-list corpus: SM2 and RSA lists of the test PKI (base, delta, without
# nextUpdate) and distribution-point addresses.
crl="$(cd "$(dirname "$0")" && pwd)/corpus/revocation_list"
mkdir -p "$crl"
for name in sm2-ca rsa-ca-delta sm2-ca-nonext sm2-ca-other-key; do
  f="$pki/crls/$name.crl"
  cp "$f" "$crl/$(sha1sum "$f" | cut -c1-40)"
done
for url in "ldap://127.0.0.1:389/CN=crl1,OU=x,C=CN?certificateRevocationList?base" \
           "ldap://host/CN=a%20b,OU=x?y" "http://127.0.0.1:10008/crl/sm2_crl.crl" "ldap://../CN=../x"; do
  printf '%s' "$url" >"$crl/url.tmp"
  mv "$crl/url.tmp" "$crl/$(printf '%s' "$url" | sha1sum | cut -c1-40)"
done
