#!/usr/bin/env bash
# Opens and seals envelopes of the agent's layout with the openssl command line alone, as an
# outside check of the envelope code:
#
#   4 bytes L (little-endian) | wrapped session key (L bytes) | content under the session key
#
# The wrapped key: RSA PKCS#1 v1.5 with its bytes reversed; SM2 by envelope type: 4 the DER
# ciphertext of GM/T 0009, 1 C1C3C2 (04 || X || Y || HASH || C), 0 and 3 the GM/T 0016 cipher
# blob (X and Y right-aligned in 64 bytes, HASH, 4-byte little-endian length, C).
#
#   envelope-tool.sh open ENVELOPE PRIVATE_KEY.pem rsa|sm2 TYPE CIPHER PADDING OUT
#   envelope-tool.sh seal PLAIN PUBLIC_KEY.pem rsa|sm2 TYPE CIPHER PADDING OUT
# CIPHER is an `openssl enc` name (sm4-cbc, des-ede3-ecb, ...); PADDING 1 is PKCS#7 padding, 0
# none with the content filled with zero bytes to a multiple of 16.
set -euo pipefail

op=$1 in=$2 key=$3 alg=$4 type=$5 cipher=$6 pad=$7 out=$8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

enc_opts=()
case "$cipher" in
  des-cbc|des-ecb) enc_opts+=(-provider legacy -provider default) ;;
esac
case "$cipher" in
  des*) block=8 ;;
  *) block=16 ;;
esac
case "$cipher" in
  *-cbc) enc_opts+=(-iv "$(printf '%0*d' $((block * 2)) 0)") ;;
esac
[ "$pad" = 1 ] || enc_opts+=(-nopad)
case "$cipher" in
  des-cbc|des-ecb) keylen=8 ;;
  sm4-*|aes-128-*) keylen=16 ;;
  des-ede3-*|aes-192-*) keylen=24 ;;
  aes-256-*) keylen=32 ;;
  *) echo "unknown cipher $cipher" >&2; exit 2 ;;
esac

hex_of() { xxd -p -c 100000 "$1" | tr -d '\n'; }
# bytes OFFSET COUNT FILE: hex of a byte range
bytes() { head -c $(($1 + $2)) "$3" | tail -c +$(($1 + 1)) | xxd -p -c 100000 | tr -d '\n'; }
le32() { printf '%08x' "$1" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/' | xxd -r -p; }
reverse() { xxd -p -c1 "$1" | tac | xxd -p -r >"$2"; }

# DER SM2 ciphertext from its four parts (hex), built by `openssl asn1parse -genconf`.
sm2_der() {
  cat >"$work/der.cnf" <<CNF
asn1=SEQUENCE:sm2
[sm2]
x=INTEGER:0x$1
y=INTEGER:0x$2
hash=FORMAT:HEX,OCTETSTRING:$3
c=FORMAT:HEX,OCTETSTRING:$4
CNF
  openssl asn1parse -genconf "$work/der.cnf" -out "$5" -noout
}

# The four parts (hex; X and Y padded to 32 bytes) of a DER SM2 ciphertext, read by asn1parse.
sm2_parts() {
  openssl asn1parse -inform DER -in "$1" | awk -F: 'NR > 1 { print $NF }' >"$work/parts"
  mapfile -t parts <"$work/parts"
  x=$(printf '%64s' "${parts[0]}" | tr ' ' 0)
  y=$(printf '%64s' "${parts[1]}" | tr ' ' 0)
  h=${parts[2]}
  c=${parts[3]}
}

if [ "$op" = open ]; then
  read -r b0 b1 b2 b3 < <(od -An -tu1 -N4 "$in")
  L=$((b0 + b1 * 256 + b2 * 65536 + b3 * 16777216))
  head -c $((4 + L)) "$in" | tail -c +5 >"$work/wrapped"
  tail -c +$((5 + L)) "$in" >"$work/content"
  if [ "$alg" = rsa ]; then
    reverse "$work/wrapped" "$work/wrapped.der"
  else
    case "$type" in
      4) cp "$work/wrapped" "$work/wrapped.der" ;;
      1) sm2_der "$(bytes 1 32 "$work/wrapped")" "$(bytes 33 32 "$work/wrapped")" \
           "$(bytes 65 32 "$work/wrapped")" "$(bytes 97 100000 "$work/wrapped")" "$work/wrapped.der" ;;
      0|3) sm2_der "$(bytes 32 32 "$work/wrapped")" "$(bytes 96 32 "$work/wrapped")" \
             "$(bytes 128 32 "$work/wrapped")" "$(bytes 164 100000 "$work/wrapped")" "$work/wrapped.der" ;;
    esac
  fi
  openssl pkeyutl -decrypt -inkey "$key" -in "$work/wrapped.der" -out "$work/key"
  openssl enc -d "-$cipher" -K "$(hex_of "$work/key")" "${enc_opts[@]}" -in "$work/content" -out "$out"
else
  openssl rand "$keylen" >"$work/key"
  openssl pkeyutl -encrypt -pubin -inkey "$key" -in "$work/key" -out "$work/wrapped.der"
  if [ "$alg" = rsa ]; then
    reverse "$work/wrapped.der" "$work/wrapped"
  else
    case "$type" in
      4) cp "$work/wrapped.der" "$work/wrapped" ;;
      1) sm2_parts "$work/wrapped.der"
         echo "04$x$y$h$c" | xxd -r -p >"$work/wrapped" ;;
      0|3) sm2_parts "$work/wrapped.der"
           zeros=$(printf '%064d' 0)
           { echo "$zeros$x$zeros$y$h" | xxd -r -p; le32 $((${#c} / 2)); echo "$c" | xxd -r -p; } >"$work/wrapped" ;;
    esac
  fi
  cp "$in" "$work/plain"
  if [ "$pad" != 1 ]; then
    size=$(stat -c %s "$in")
    fill=$(((16 - size % 16) % 16))
    head -c "$fill" /dev/zero >>"$work/plain"
  fi
  openssl enc -e "-$cipher" -K "$(hex_of "$work/key")" "${enc_opts[@]}" -in "$work/plain" -out "$work/content"
  { le32 "$(stat -c %s "$work/wrapped")"; cat "$work/wrapped" "$work/content"; } >"$out"
fi
