#!/usr/bin/env bash
# Makes a small test CA and node certificates for the remote endpoints (mutual TLS), with openssl.
#
#   scripts/make-test-certs.sh DIR NAME...           a CA (DIR/ca.pem, DIR/ca.key) and, per NAME,
#                                                    DIR/NAME.pem and DIR/NAME.key: CN and DNS name
#                                                    NAME, usable as server and as client
#   --expired NAME   also DIR/NAME.pem/.key, same CA, valid only in the past
#   --foreign NAME   also DIR/NAME.pem/.key, signed by another CA (DIR/foreign-ca.pem)
#
# An existing CA in DIR is reused, so nodes can be added later. For tests and demos only: the
# keys are written unencrypted.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 DIR NAME... [--expired NAME] [--foreign NAME]" >&2
  exit 2
fi
dir=$1; shift
mkdir -p "$dir"
cd "$dir"
umask 077

make_ca() {  # make_ca PREFIX SUBJECT
  [ -f "$1.pem" ] && return 0
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 \
    -subj "/CN=$2" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

make_node() {  # make_node NAME CA-PREFIX [expired]
  local name=$1 ca=$2 expired=${3:-}
  local ext
  ext=$(mktemp)
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth,clientAuth" "subjectAltName=DNS:$name" >"$ext"
  openssl req -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$name" \
    2>/dev/null
  if [ -n "$expired" ]; then
    # Valid from two days ago until yesterday: a throw-away CA database gives exact dates.
    local db
    db=$(mktemp -d)
    : >"$db/index.txt"
    printf '%s\n' "[ca]" "default_ca=c" "[c]" "database=$db/index.txt" "new_certs_dir=$db" \
      "serial=$db/serial" "default_md=sha256" "policy=p" "[p]" "commonName=supplied" >"$db/ca.cnf"
    openssl rand -hex 8 >"$db/serial"
    openssl ca -batch -config "$db/ca.cnf" -cert "$ca.pem" -keyfile "$ca.key" -in "$name.csr" \
      -out "$name.pem" -notext -extfile "$ext" \
      -startdate "$(date -u -d '-2 days' +%Y%m%d%H%M%SZ)" \
      -enddate "$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)" 2>/dev/null
    rm -rf "$db"
  else
    openssl x509 -req -in "$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -CAcreateserial \
      -out "$name.pem" -days 825 -sha256 -extfile "$ext" 2>/dev/null
  fi
  rm -f "$name.csr" "$ext"
}

make_ca ca "zoltcfg test CA"
while [ $# -gt 0 ]; do
  case $1 in
    --expired) make_node "$2" ca expired; shift 2 ;;
    --foreign) make_ca foreign-ca "zoltcfg foreign test CA"; make_node "$2" foreign-ca; shift 2 ;;
    *) make_node "$1" ca; shift ;;
  esac
done
echo "certificates in $(pwd)"
