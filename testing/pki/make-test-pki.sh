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
# The configuration names the authority folder of each `openssl ca` run; any value will do
# for the other commands.
export PKI_CA_DIR="$PKI_OUT/ca"
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

rm -rf "$PKI_OUT/tmp"
touch "$PKI_OUT/.complete"
trap - EXIT
rm -rf "$FINAL"
mv "$PKI_OUT" "$FINAL"
