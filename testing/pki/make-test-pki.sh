#!/usr/bin/env bash
# Generates the test PKI into the folder given as the only argument (in the build tree).
# The result replaces the folder as a whole and is complete only when it holds ".complete".
# Keys are new on every run; names, serial numbers, validity periods and extensions are fixed,
# so tests compare against the files and the openssl command line, never against keys.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
FINAL=${1:?usage: make-test-pki.sh OUTPUT_DIR}
PKI_OUT="$FINAL.tmp.$$"
PKI_CNF="$HERE/openssl.cnf"
export OPENSSL_CONF="$PKI_CNF"
# The configuration names the authority folder of each `openssl ca` run and the serial number
# folder of `openssl ts -reply`; any value will do for the other commands.
export PKI_CA_DIR="$PKI_OUT/ca"
export PKI_TSA_DIR="$PKI_OUT/ts"
rm -rf "$PKI_OUT"
mkdir -p "$PKI_OUT/keys" "$PKI_OUT/certs" "$PKI_OUT/ca" "$PKI_OUT/tmp"
: >"$PKI_OUT/manifest.tsv"
trap 'rm -rf "$PKI_OUT"' EXIT

# shellcheck source=pki-lib.sh
. "$HERE/pki-lib.sh"

ORG="/C=CN/O=OrvaDesk Test"

# ---- keys -----------------------------------------------------------------------------------
pki_key sm2-root sm2
pki_key sm2-ca sm2
pki_key sm2-sign sm2
pki_key sm2-exch sm2
pki_key sm2-leaf sm2        # shared by the leaves whose key does not matter
pki_key sm2-id sm2          # shared by the identity certificates
pki_key rsa-root rsa2048
pki_key rsa-ca rsa2048
pki_key rsa-sign rsa2048
pki_key rsa-exch rsa2048
pki_key rsa-leaf rsa2048
pki_key rsa-4096 rsa4096
pki_key p256 p256
pki_key ed25519 ed25519

# ---- SM2 hierarchy --------------------------------------------------------------------------
pki_root sm2-root sm2-root "$ORG/CN=OrvaDesk Test SM2 Root"
pki_ca sm2-ca sm2-ca sm2-root "$ORG/OU=Test CA/CN=OrvaDesk Test SM2 CA"

USER="/C=CN/ST=Beijing/L=Haidian/O=OrvaDesk Test/OU=Users/CN=张三/emailAddress=zhangsan@example.test"
pki_cert sm2-sign sm2-sign sm2-ca "$USER" v3_sign 1001
pki_cert sm2-exch sm2-exch sm2-ca "$USER" v3_exch 1002
pki_cert sm2-both sm2-leaf sm2-ca "$ORG/CN=Both Usages" v3_both 1003
# Domain components before the country, every attribute with a short name, one without
# (2.5.4.97), a value with a comma, and a serial number whose first byte has the top bit set.
pki_cert sm2-names sm2-leaf sm2-ca \
  "/DC=test/DC=orva/C=CN/ST=北京/L=海淀/street=中关村大街 1 号/O=Org, Inc/OU=Unit/title=Engineer/GN=San/SN=Zhang/serialNumber=S123/CN=张三 Names/emailAddress=names@example.test/telephoneNumber=\\+86 10 1234 5678/idNumber=110101199001011234/organizationIdentifier=NTRCN-91110108MA01ABCD2X" \
  v3_sign 8F3A0001
pki_cert sm2-dates sm2-leaf sm2-ca "$ORG/CN=Dates" v3_sign 1005 20200524180000Z 20220524200000Z
pki_cert sm2-expired sm2-leaf sm2-ca "$ORG/CN=Expired" v3_sign 1006 20010101000000Z 20021231235959Z
pki_cert sm2-notyet sm2-leaf sm2-ca "$ORG/CN=Not Yet Valid" v3_sign 1007 20900101000000Z 20951231235959Z
pki_key sm2-noski sm2
pki_cert sm2-noski sm2-noski sm2-ca "$ORG/CN=No Key Identifier" v3_noski 1008
# The same key with the identifier the command line computes (SHA-1 of the key bits).
pki_cert sm2-noski-twin sm2-noski sm2-ca "$ORG/CN=No Key Identifier Twin" v3_sign 1009

# Identity certificates (attribute helper).
pki_cert id-person-ext sm2-id sm2-ca "$ORG/CN=Person Ext" v3_id_person 2001
pki_cert id-person-asn1 sm2-id sm2-ca "$ORG/CN=Person Asn1" v3_id_person_asn1 2002
pki_cert id-person-br sm2-id sm2-ca "$ORG/CN=Person Br" v3_id_person_br 2003
pki_cert id-person-old18 sm2-id sm2-ca "/C=CN/CN=Person Old18/idNumber=110101199001011234" v3_id_plain 2004
pki_cert id-person-old15 sm2-id sm2-ca "/C=CN/CN=Person Old15/idNumber=110101900101123" v3_id_plain 2005
pki_cert id-org-old sm2-id sm2-ca \
  "/C=CN/O=Org Old/CN=Org Old/idNumber=12345678X/telephoneNumber=110108000000016" v3_id_plain 2006
pki_cert id-org-ss sm2-id sm2-ca "/C=CN/O=Org SS/CN=Org SS/idNumber=SS123456" v3_id_plain 2007
pki_cert id-org-ext sm2-id sm2-ca "/C=CN/O=Org Ext/CN=Org Ext" v3_id_org 2008

# ---- RSA hierarchy --------------------------------------------------------------------------
pki_root rsa-root rsa-root "$ORG/CN=OrvaDesk Test RSA Root"
pki_ca rsa-ca rsa-ca rsa-root "$ORG/OU=Test CA/CN=OrvaDesk Test RSA CA"

RUSER="/C=CN/ST=Beijing/L=Haidian/O=OrvaDesk Test/OU=Users/CN=Li Si/emailAddress=lisi@example.test"
pki_cert rsa-sign rsa-sign rsa-ca "$RUSER" v3_sign 3001
pki_cert rsa-exch rsa-exch rsa-ca "$RUSER" v3_exch 3002
pki_cert rsa-4096 rsa-4096 rsa-ca "$ORG/CN=RSA 4096" v3_sign 3003
pki_cert rsa-md5 rsa-leaf rsa-ca "$ORG/CN=RSA MD5" v3_sign 3004 "" "" md5
pki_cert rsa-sha1 rsa-leaf rsa-ca "$ORG/CN=RSA SHA1" v3_sign 3005 "" "" sha1
pki_cert rsa-sha384 rsa-leaf rsa-ca "$ORG/CN=RSA SHA384" v3_sign 3006 "" "" sha384
pki_cert rsa-sha512 rsa-leaf rsa-ca "$ORG/CN=RSA SHA512" v3_sign 3007 "" "" sha512
pki_cert rsa-oldbc rsa-leaf rsa-ca "$ORG/CN=RSA Old Basic Constraints" v3_oldbc 3008
pki_cert rsa-crldp rsa-leaf rsa-ca "$ORG/CN=RSA Distribution Points" v3_crldp 3009
pki_cert rsa-longext rsa-leaf rsa-ca "$ORG/CN=RSA Long Extension" v3_longext 300A
pki_cert rsa-noku rsa-leaf rsa-ca "$ORG/CN=RSA No Key Usage" v3_noku 300B
pki_cert rsa-kudec rsa-leaf rsa-ca "$ORG/CN=RSA Decipher Only" v3_kudec 300C

# ---- other key types ------------------------------------------------------------------------
pki_self_signed p256-self p256 "$ORG/CN=P-256 Self-Signed"
pki_self_signed ed25519-self ed25519 "$ORG/CN=Ed25519 Self-Signed"

# ---- the test authorisation service -------------------------------------------------------
# Its certificate goes into the machine-wide AuthorityCert; testing/authority/ issues codes
# with its key.
pki_key authority-rsa rsa2048
pki_self_signed authority-rsa authority-rsa "$ORG/CN=OrvaDesk Test Authorisation Service"
pki_key authority-sm2 sm2
pki_self_signed authority-sm2 authority-sm2 "$ORG/CN=OrvaDesk Test Authorisation Service SM2"

# ---- signatures and key files ---------------------------------------------------------------
pki_sm2_signatures sm2-sign
pki_pkcs12 rsa-sign-legacy rsa-sign rsa-sign "p12 pass" legacy
pki_pkcs12 rsa-sign-aes rsa-sign rsa-sign "p12 pass"

# ---- chain cases ----------------------------------------------------------------------------
# A renewed SM2 CA: the same name as sm2-ca with a new key, and a leaf it issued.
pki_key sm2-ca2 sm2
pki_ca sm2-ca-renewed sm2-ca2 sm2-root "$ORG/OU=Test CA/CN=OrvaDesk Test SM2 CA" v3_ca 03
pki_cert sm2-sign-renewed sm2-leaf sm2-ca-renewed "$ORG/CN=Renewed Issuer" v3_leaf_plain 1101
# A loop: Loop A is issued by Loop B and Loop B by Loop A (the first Loop B, self-signed,
# only exists to sign Loop A and is never put into a store).
pki_key loop-a sm2
pki_key loop-b sm2
pki_root loop-b0 loop-b "$ORG/CN=Loop B"
pki_ca loop-a loop-a loop-b0 "$ORG/CN=Loop A" v3_ca_deep 11
pki_ca loop-b loop-b loop-a "$ORG/CN=Loop B" v3_ca_deep 12
pki_cert loop-leaf sm2-leaf loop-a "$ORG/CN=Loop Leaf" v3_leaf_plain 1201
# A long chain: deep-root, deep-ca1 .. deep-ca8 (one shared key); deep-leaf7 has 8 issuers
# above it, deep-leaf8 has 9.
pki_key sm2-deep sm2
pki_root deep-root sm2-deep "$ORG/CN=Deep Root"
prev=deep-root
for i in 1 2 3 4 5 6 7 8; do
  pki_ca "deep-ca$i" sm2-deep "$prev" "$ORG/CN=Deep CA $i" v3_ca_deep "2$i"
  prev="deep-ca$i"
done
pki_cert deep-leaf7 sm2-leaf deep-ca7 "$ORG/CN=Deep Leaf 7" v3_leaf_plain 1307
pki_cert deep-leaf8 sm2-leaf deep-ca8 "$ORG/CN=Deep Leaf 8" v3_leaf_plain 1308

# ---- revocation lists -----------------------------------------------------------------------
# Serial numbers 5001 (SM2) and 6001 (RSA) are revoked in the base lists, 5002 and 6002 only
# in the delta lists; 5003 and 6003 nowhere (the other-key list below names 5003). The leaves
# name the directory entries CN=crl1 and CN=rsacrl1 on 127.0.0.1:389; tests that run a
# directory server issue certificates with the same serial numbers naming its port.
pki_cert crl-sm2-revoked sm2-leaf sm2-ca "$ORG/CN=CRL Revoked" v3_crl_leaf 5001
pki_cert crl-sm2-delta sm2-leaf sm2-ca "$ORG/CN=CRL Delta" v3_crl_leaf 5002
pki_cert crl-sm2-good sm2-leaf sm2-ca "$ORG/CN=CRL Good" v3_crl_leaf 5003
pki_cert crl-rsa-revoked rsa-leaf rsa-ca "$ORG/CN=CRL RSA Revoked" v3_crl_leaf_rsa 6001
pki_cert crl-rsa-delta rsa-leaf rsa-ca "$ORG/CN=CRL RSA Delta" v3_crl_leaf_rsa 6002
pki_cert crl-rsa-good rsa-leaf rsa-ca "$ORG/CN=CRL RSA Good" v3_crl_leaf_rsa 6003
# A list that ran out on 2024-01-02, made before any revocation.
pki_crl sm2-ca sm2-ca-stale base 24 "2024-01-01 00:00:00"
pki_revoke sm2-ca crl-sm2-revoked
pki_crl sm2-ca sm2-ca base
pki_revoke sm2-ca crl-sm2-delta delta
pki_crl sm2-ca sm2-ca-delta delta
pki_revoke rsa-ca crl-rsa-revoked
pki_crl rsa-ca rsa-ca base
pki_revoke rsa-ca crl-rsa-delta delta
pki_crl rsa-ca rsa-ca-delta delta
# The issuer name of sm2-ca signed with the renewed CA's key, naming 5003.
pki_revoke sm2-ca-renewed crl-sm2-good
pki_crl sm2-ca-renewed sm2-ca-other-key base
# No nextUpdate at all (the command line always writes one).
"${ORVA_PKI_TOOL:?}" crl --issuer-cert "$PKI_OUT/certs/sm2-ca.der" --issuer-key "$PKI_OUT/keys/sm2-ca.pem" \
  --last-update 20250101000000Z --next-update none --revoke 5001 --out "$PKI_OUT/crls/sm2-ca-nonext.crl" \
  || pki_die "list without nextUpdate"

# ---- time-stamping --------------------------------------------------------------------------
pki_key rsa-tsa rsa2048
pki_key sm2-tsa sm2
pki_cert tsa-rsa rsa-tsa rsa-ca "$ORG/CN=OrvaDesk Test RSA TSA" v3_tsa 7001 20250101000000Z 20341231235959Z
pki_cert tsa-sm2 sm2-tsa sm2-ca "$ORG/CN=OrvaDesk Test SM2 TSA" v3_tsa 7002 20250101000000Z 20341231235959Z
mkdir -p "$PKI_OUT/ts"
printf 'OrvaDesk time-stamp test message' >"$PKI_OUT/ts/msg.txt"
T0="2026-06-01 12:00:00"
pki_ts_reply rsa-sha256 tsa-rsa sha256 cert "$T0"
pki_ts_reply rsa-nocert tsa-rsa sha256 nocert "$T0"
pki_ts_reply rsa-sha1 tsa-rsa sha1 cert "$T0"
pki_ts_reply rsa-sm3 tsa-rsa sm3 cert "$T0"
pki_ts_reply rsa-sha512 tsa-rsa sha512 cert "$T0"
# Around the TSA certificate's validity (2025-01-01 00:00:00 to 2034-12-31 23:59:59 UTC).
pki_ts_reply rsa-at-notbefore tsa-rsa sha256 cert "2025-01-01 00:00:00"
pki_ts_reply rsa-after-notbefore tsa-rsa sha256 cert "2025-01-01 00:00:01"
pki_ts_reply rsa-before-notafter tsa-rsa sha256 cert "2034-12-31 23:59:58"
pki_ts_reply rsa-at-notafter tsa-rsa sha256 cert "2034-12-31 23:59:59"
pki_ts_reply rsa-after-notafter tsa-rsa sha256 cert "2035-01-01 00:00:00"
# The command line refuses an SM2 time-stamping key but still exits 0 with a rejection.
pki_ts_reply sm2-rejected tsa-sm2 sm3 cert "$T0"
G=20260601120000Z
pki_ts_token sm2-sm3 tsa-sm2 --time "$G" --serial 11 --signed-out "$PKI_OUT/ts/sm2-sm3.signed" \
  --sig-out "$PKI_OUT/ts/sm2-sm3.sig"
pki_ts_token sm2-sm3-501 tsa-sm2 --time "$G" --serial 12 --sigalg sm2-sm3
pki_ts_token sm2-nocert tsa-sm2 --time "$G" --serial 13 --no-cert
pki_ts_token sm2-sha256 tsa-sm2 --time "$G" --serial 14 --imprint-alg sha256
pki_ts_token sm2-z tsa-sm2 --time "$G" --serial 15 --z-cert "$PKI_OUT/certs/sm2-sign.der" --user-id "alice@orva.test"
pki_ts_token sm2-noattrs tsa-sm2 --time "$G" --serial 16 --no-attrs
pki_ts_token sm2-ctype-data tsa-sm2 --time "$G" --serial 17 --content-type-data
pki_ts_token sm2-bad-md tsa-sm2 --time "$G" --serial 18 --bad-message-digest
pki_ts_token sm2-at-notafter tsa-sm2 --time 20341231235959Z --serial 19
pki_ts_token sm2-after-notafter tsa-sm2 --time 20350101000000Z --serial 20
# A file of several 1,024-byte pieces.
seq 1 1500 >"$PKI_OUT/ts/big.txt"
pki_ts_token sm2-big tsa-sm2 --time "$G" --serial 21 --data "$PKI_OUT/ts/big.txt"

rm -rf "$PKI_OUT/tmp"
touch "$PKI_OUT/.complete"
trap - EXIT
rm -rf "$FINAL"
mv "$PKI_OUT" "$FINAL"
