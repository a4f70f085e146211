# Building blocks of the test PKI, driven by the openssl command line. Sourced by
# make-test-pki.sh; later pieces (revocation lists, PKCS#12 files, time-stamp tokens, token
# contents) add their own functions here and their calls to make-test-pki.sh.
#
# Layout under $PKI_OUT:
#   keys/<key>.pem          private key (PKCS#8 PEM); keys/<key>.pub.pem its public key
#   certs/<name>.pem|.der   every certificate
#   ca/<name>/              `openssl ca` state of each authority (index, serial, crlnumber)
#   manifest.tsv            name, key, issuer, algorithm of every certificate
#
# Every SM2 signature and verification uses the GM/T 0009 identity 1234567812345678 (OpenSSL
# 3.0 defaults to an empty one).

PKI_SM2_ID=1234567812345678
PKI_DEFAULT_START=20240101000000Z
PKI_DEFAULT_END=20491231235959Z

pki_die() {
  echo "test PKI: $*" >&2
  exit 1
}

# pki_key KEY ALG: a new key pair; ALG is sm2, rsa2048, rsa4096, p256 or ed25519.
pki_key() {
  local key=$1 alg=$2 out="$PKI_OUT/keys/$1.pem"
  case "$alg" in
    sm2) openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:SM2 \
           -pkeyopt ec_param_enc:named_curve -out "$out" ;;
    rsa2048) openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$out" ;;
    rsa4096) openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out "$out" ;;
    p256) openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-256 \
            -pkeyopt ec_param_enc:named_curve -out "$out" ;;
    ed25519) openssl genpkey -quiet -algorithm ED25519 -out "$out" ;;
    *) pki_die "unknown key algorithm $alg" ;;
  esac || pki_die "key $key failed"
  openssl pkey -in "$out" -pubout -out "$PKI_OUT/keys/$key.pub.pem" || pki_die "public key $key"
  echo "$alg" >"$PKI_OUT/keys/$key.alg"
}

_pki_key_alg() { cat "$PKI_OUT/keys/$1.alg"; }

# Signing options for a key: digest and, for SM2, the identity.
_pki_sign_opts() {
  local alg=$1 md=$2
  case "$alg" in
    sm2) echo "-md ${md:-sm3} -sigopt distid:$PKI_SM2_ID" ;;
    ed25519) echo "" ;;
    *) echo "-md ${md:-sha256}" ;;
  esac
}

_pki_req_opts() {
  case "$1" in
    sm2) echo "-sm3 -sigopt distid:$PKI_SM2_ID" ;;
    ed25519) echo "" ;;
    *) echo "-sha256" ;;
  esac
}

_pki_vfy_opts() {
  case "$1" in
    sm2) echo "-vfyopt distid:$PKI_SM2_ID" ;;
    *) echo "" ;;
  esac
}

_pki_ca_dir_init() {
  local dir="$PKI_OUT/ca/$1"
  mkdir -p "$dir/newcerts"
  : >"$dir/index.txt"
  echo 1000 >"$dir/crlnumber"
}

_pki_finish_cert() {
  local name=$1 key=$2 issuer=$3
  openssl x509 -in "$PKI_OUT/certs/$name.pem" -outform DER -out "$PKI_OUT/certs/$name.der" \
    || pki_die "DER of $name"
  printf '%s\t%s\t%s\t%s\n' "$name" "$key" "$issuer" "$(_pki_key_alg "$key")" >>"$PKI_OUT/manifest.tsv"
}

# _pki_issue NAME KEY ISSUER SUBJECT PROFILE SERIAL START END MD SELF
_pki_issue() {
  local name=$1 key=$2 issuer=$3 subject=$4 profile=$5 serial=$6 start=$7 end=$8 md=$9 self=${10}
  local kalg ialg csr="$PKI_OUT/tmp/$name.csr"
  kalg=$(_pki_key_alg "$key")
  # shellcheck disable=SC2046
  openssl req -new -config "$PKI_CNF" -key "$PKI_OUT/keys/$key.pem" -subj "$subject" -utf8 \
    $(_pki_req_opts "$kalg") -out "$csr" || pki_die "request of $name"
  local cadir="$PKI_OUT/ca/$issuer" signkey cacert_opt=()
  if [ "$self" = 1 ]; then
    signkey="$PKI_OUT/keys/$key.pem"
    ialg=$kalg
    cacert_opt=(-selfsign)
  else
    [ -f "$cadir/key" ] || pki_die "unknown issuer $issuer for $name"
    signkey="$PKI_OUT/keys/$(cat "$cadir/key").pem"
    ialg=$(_pki_key_alg "$(cat "$cadir/key")")
    cacert_opt=(-cert "$PKI_OUT/certs/$issuer.pem")
  fi
  echo "$serial" >"$cadir/serial"
  # shellcheck disable=SC2046
  PKI_CA_DIR="$cadir" openssl ca -batch -notext -config "$PKI_CNF" -preserveDN -utf8 \
    -extensions "$profile" -in "$csr" -out "$PKI_OUT/certs/$name.pem" -keyfile "$signkey" \
    "${cacert_opt[@]}" -startdate "${start:-$PKI_DEFAULT_START}" -enddate "${end:-$PKI_DEFAULT_END}" \
    $(_pki_sign_opts "$ialg" "$md") $(_pki_vfy_opts "$kalg") 2>"$PKI_OUT/tmp/$name.log" \
    || { cat "$PKI_OUT/tmp/$name.log" >&2; pki_die "issuing $name"; }
  _pki_finish_cert "$name" "$key" "$([ "$self" = 1 ] && echo "$name" || echo "$issuer")"
}

# pki_root NAME KEY SUBJECT [PROFILE] [SERIAL]: a self-signed authority.
pki_root() {
  local name=$1 key=$2 subject=$3 profile=${4:-v3_root} serial=${5:-01}
  _pki_ca_dir_init "$name"
  echo "$key" >"$PKI_OUT/ca/$name/key"
  _pki_issue "$name" "$key" "$name" "$subject" "$profile" "$serial" 20230101000000Z 20501231235959Z "" 1
}

# pki_ca NAME KEY ISSUER SUBJECT [PROFILE] [SERIAL]: an intermediate authority.
pki_ca() {
  local name=$1 key=$2 issuer=$3 subject=$4 profile=${5:-v3_ca} serial=${6:-02}
  _pki_issue "$name" "$key" "$issuer" "$subject" "$profile" "$serial" 20230601000000Z 20501130235959Z "" 0
  _pki_ca_dir_init "$name"
  echo "$key" >"$PKI_OUT/ca/$name/key"
}

# pki_cert NAME KEY ISSUER SUBJECT PROFILE SERIAL [START END [MD]]: a leaf certificate.
pki_cert() {
  _pki_issue "$1" "$2" "$3" "$4" "$5" "$6" "${7:-}" "${8:-}" "${9:-}" 0
}

# pki_self_signed NAME KEY SUBJECT [PROFILE]: a self-signed certificate made by `openssl req`
# (for key types `openssl ca` is not needed for: P-256 with SHA-256, Ed25519).
pki_self_signed() {
  local name=$1 key=$2 subject=$3 profile=${4:-v3_self} kalg
  kalg=$(_pki_key_alg "$key")
  # shellcheck disable=SC2046
  openssl req -new -x509 -config "$PKI_CNF" -key "$PKI_OUT/keys/$key.pem" -subj "$subject" -utf8 \
    -extensions "$profile" -set_serial 0x7E01 -days 3650 $(_pki_req_opts "$kalg") \
    -out "$PKI_OUT/certs/$name.pem" || pki_die "self-signed $name"
  _pki_finish_cert "$name" "$key" "$name"
}

# _pki_sm2_sig_shape FILE: "LEN SHORT_R SHORT_S" of a DER SM2 signature, where SHORT_x is 1 when
# the value has fewer than 32 significant bytes (its raw 32-byte form starts with a zero byte).
_pki_sm2_sig_shape() {
  local b len lr ls sr=0 ss=0
  # shellcheck disable=SC2207
  b=($(od -An -v -tu1 "$1"))
  len=${#b[@]}
  lr=${b[3]}
  ls=${b[$((5 + lr))]}
  { [ "$lr" -lt 32 ] || { [ "$lr" -eq 32 ] && [ "${b[4]}" -eq 0 ]; }; } && sr=1
  { [ "$ls" -lt 32 ] || { [ "$ls" -eq 32 ] && [ "${b[$((6 + lr))]}" -eq 0 ]; }; } && ss=1
  echo "$len $sr $ss"
}

# pki_sm2_signatures KEY: DER SM2 signatures made by `openssl pkeyutl` with the GM identity
# over messages of sigs/, kept as sigs/<kind>.msg and .der for the kinds "normal", "der69"
# (68 or 69 bytes: about one signature in 500), "shortr" and "shorts" (r or s below 2^248).
# Messages are signed in batches on two processes until every kind is found.
pki_sm2_signatures() {
  local key=$1 dir="$PKI_OUT/sigs" work="$PKI_OUT/tmp/sigs" batch=0 i f shape
  mkdir -p "$dir" "$work"
  local want="normal der69 shortr shorts"
  while [ -n "$want" ]; do
    [ "$batch" -lt 40 ] || pki_die "no short SM2 signatures found after $((batch * 100)) tries"
    for i in $(seq 0 99); do printf 'OrvaDesk signature %d-%d' "$batch" "$i" >"$work/$i.msg"; done
    seq 0 99 | xargs -P 2 -I{} openssl pkeyutl -sign -rawin -digest sm3 \
      -inkey "$PKI_OUT/keys/$key.pem" -pkeyopt "distid:$PKI_SM2_ID" -in "$work/{}.msg" -out "$work/{}.der" \
      || pki_die "SM2 signatures"
    for i in $(seq 0 99); do
      f="$work/$i"
      # shellcheck disable=SC2207
      shape=($(_pki_sm2_sig_shape "$f.der"))
      for kind in $want; do
        case "$kind" in
          normal) [ "${shape[0]}" -ge 70 ] || continue ;;
          der69) [ "${shape[0]}" -le 69 ] || continue ;;
          shortr) [ "${shape[1]}" = 1 ] || continue ;;
          shorts) [ "${shape[2]}" = 1 ] || continue ;;
        esac
        cp "$f.msg" "$dir/$kind.msg"
        cp "$f.der" "$dir/$kind.der"
        want=" $want "
        want=${want/ $kind / }
        want=$(echo $want)
      done
    done
    batch=$((batch + 1))
  done
  rm -rf "$work"
}

# pki_pkcs12 NAME KEY CERT PASSWORD [legacy]: a PKCS#12 file p12/<name>.p12 holding the key and
# its certificate; "legacy" protects it with the old algorithms (RC2-40 and 3DES), which OpenSSL
# 3 only opens with its legacy provider.
pki_pkcs12() {
  local name=$1 key=$2 cert=$3 pass=$4 mode=${5:-} opts=()
  mkdir -p "$PKI_OUT/p12"
  [ "$mode" = legacy ] && opts=(-legacy)
  openssl pkcs12 -export "${opts[@]}" -inkey "$PKI_OUT/keys/$key.pem" -in "$PKI_OUT/certs/$cert.pem" \
    -passout "pass:$pass" -out "$PKI_OUT/p12/$name.p12" || pki_die "PKCS#12 $name"
}

# ---- revocation lists -----------------------------------------------------------------------
# Lists go to crls/<name>.crl (DER) and crls/<name>.pem. A delta list is made from its own
# database folder ca/<ca>.delta (same key and certificate) holding only the revocations made
# after the base list, with the deltaCRLIndicator of the profile crl_delta.

# _pki_ca_cmd CA DBDIR ARGS...: `openssl ca` with the authority's key and certificate on the
# database folder DBDIR, behind the command prefix PKI_PRE (a frozen clock) when set.
PKI_PRE=()
_pki_ca_cmd() {
  local ca=$1 dbdir=$2 key ialg
  shift 2
  key=$(cat "$PKI_OUT/ca/$ca/key")
  ialg=$(_pki_key_alg "$key")
  # shellcheck disable=SC2046
  PKI_CA_DIR="$dbdir" "${PKI_PRE[@]}" openssl ca -batch -config "$PKI_CNF" -keyfile "$PKI_OUT/keys/$key.pem" \
    -cert "$PKI_OUT/certs/$ca.pem" $(_pki_sign_opts "$ialg" "") "$@"
}

# pki_revoke CA CERT [DELTA]: revokes CERT in the authority's database, or with DELTA=delta
# in its delta database only (so that only the delta list carries it).
pki_revoke() {
  local ca=$1 cert=$2 which=${3:-base} dbdir="$PKI_OUT/ca/$1"
  if [ "$which" = delta ]; then
    dbdir="$PKI_OUT/ca/$ca.delta"
    if [ ! -d "$dbdir" ]; then
      _pki_ca_dir_init "$ca.delta"
      echo 1001 >"$dbdir/crlnumber"
    fi
  fi
  _pki_ca_cmd "$ca" "$dbdir" -revoke "$PKI_OUT/certs/$cert.pem" -crl_reason keyCompromise \
    2>"$PKI_OUT/tmp/revoke-$cert.log" || { cat "$PKI_OUT/tmp/revoke-$cert.log" >&2; pki_die "revoking $cert"; }
}

# pki_crl CA NAME [base|delta] [HOURS] [FAKETIME]: the authority's list, valid for HOURS
# (default 30 days) from now or from the frozen time FAKETIME ("2024-01-01 00:00:00", UTC).
pki_crl() {
  local ca=$1 name=$2 which=${3:-base} hours=${4:-720} at=${5:-} dbdir="$PKI_OUT/ca/$1" ext=crl_base
  mkdir -p "$PKI_OUT/crls"
  if [ "$which" = delta ]; then
    dbdir="$PKI_OUT/ca/$ca.delta"
    ext=crl_delta
  fi
  [ -n "$at" ] && PKI_PRE=(env TZ=UTC faketime -f "$at")
  _pki_ca_cmd "$ca" "$dbdir" -gencrl -crlexts "$ext" -crlhours "$hours" -out "$PKI_OUT/crls/$name.pem" \
    2>"$PKI_OUT/tmp/crl-$name.log" || { cat "$PKI_OUT/tmp/crl-$name.log" >&2; pki_die "list $name"; }
  PKI_PRE=()
  openssl crl -in "$PKI_OUT/crls/$name.pem" -outform DER -out "$PKI_OUT/crls/$name.crl" || pki_die "DER of $name"
}

# ---- time-stamp tokens ----------------------------------------------------------------------
# Tokens go to ts/<name>.tsr (DER TimeStampResp) over the message ts/msg.txt.

# pki_ts_reply NAME TSA DIGEST [cert|nocert] [FAKETIME]: a response of `openssl ts -reply`
# signed by the TSA certificate TSA (its key from the manifest), with the imprint made with
# DIGEST (sha256, sm3, ...), carrying the TSA certificate unless "nocert", at the frozen time
# FAKETIME ("2030-01-01 00:00:00", UTC) when given.
pki_ts_reply() {
  local name=$1 tsa=$2 md=$3 certopt=${4:-cert} at=${5:-} dir="$PKI_OUT/ts" key q=() pre=()
  mkdir -p "$dir"
  [ -f "$dir/tsaserial" ] || echo 01 >"$dir/tsaserial"
  key=$(awk -F'\t' -v n="$tsa" '$1 == n { print $2 }' "$PKI_OUT/manifest.tsv")
  [ "$certopt" = cert ] && q=(-cert)
  openssl ts -query -config "$PKI_CNF" -data "$dir/msg.txt" "-$md" "${q[@]}" -out "$PKI_OUT/tmp/$name.tsq" \
    2>"$PKI_OUT/tmp/tsq-$name.log" || { cat "$PKI_OUT/tmp/tsq-$name.log" >&2; pki_die "query $name"; }
  [ -n "$at" ] && pre=(env TZ=UTC faketime -f "$at")
  PKI_TSA_DIR="$dir" "${pre[@]}" openssl ts -reply -config "$PKI_CNF" -queryfile "$PKI_OUT/tmp/$name.tsq" \
    -inkey "$PKI_OUT/keys/$key.pem" -signer "$PKI_OUT/certs/$tsa.pem" -out "$dir/$name.tsr" \
    2>"$PKI_OUT/tmp/ts-$name.log" || { cat "$PKI_OUT/tmp/ts-$name.log" >&2; pki_die "reply $name"; }
}

# pki_ts_token NAME TSA [options of orva_pki_tool ts-token]: an SM2 response made by the
# generator program, which the command line cannot make (it refuses SM2 time-stamping keys).
pki_ts_token() {
  local name=$1 tsa=$2 dir="$PKI_OUT/ts" key
  shift 2
  mkdir -p "$dir"
  key=$(awk -F'\t' -v n="$tsa" '$1 == n { print $2 }' "$PKI_OUT/manifest.tsv")
  "${ORVA_PKI_TOOL:?ORVA_PKI_TOOL names the generator program}" ts-token --tsa-cert "$PKI_OUT/certs/$tsa.der" \
    --tsa-key "$PKI_OUT/keys/$key.pem" --data "$dir/msg.txt" --out "$dir/$name.tsr" "$@" || pki_die "token $name"
}
