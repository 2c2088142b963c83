#!/bin/bash
# Makes the certificates of a test or demo fleet with the openssl command, all ECDSA P-256:
#   ca.pem ca.key             the fleet CA
#   server.pem server.key     the job server, for IP 127.0.0.1 and DNS localhost
#   server.pin                SHA-256 of the server's SubjectPublicKeyInfo, in hex
#   device.pem device.key     a device certificate (CN dev), key mode 0600
# and, with "all", servers that fail a check: expired, future (not yet valid), wrongname
# (DNS wrong.example only) and untrusted (issued by other-ca.pem), each .pem and .key.
#
#   make-certs.sh <folder> [all]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 <folder> [all]" >&2; exit 2; }
dir=$1
mkdir -p "$dir"
cd "$dir"
umask 077

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }

# A CA of its own: <name>
make_ca() {
    key "$1"
    openssl req -new -x509 -key "$1.key" -out "$1.pem" -days 3650 -subj "/CN=$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
    mkdir -p "$1.db"
    : >"$1.db/index.txt"
    echo 1000 >"$1.db/serial"
    cat >"$1.db/ca.conf" <<EOF
[ca]
default_ca = fleet
[fleet]
dir = $PWD/$1.db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
certificate = $PWD/$1.pem
private_key = $PWD/$1.key
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[anything]
commonName = supplied
EOF
}

# A certificate issued by a CA: <ca> <name> <CN> <subjectAltName or -> <start> <end>
# (times as YYMMDDHHMMSSZ).
issue() {
    local ca=$1 name=$2 cn=$3 san=$4 start=$5 end=$6
    key "$name"
    openssl req -new -key "$name.key" -out "$name.csr" -subj "/CN=$cn"
    {
        echo "[ext]"
        echo "basicConstraints = CA:FALSE"
        echo "keyUsage = critical, digitalSignature"
        if [ "$san" != - ]; then
            echo "subjectAltName = $san"
            echo "extendedKeyUsage = serverAuth"
        else
            echo "extendedKeyUsage = clientAuth"
        fi
    } >"$name.ext"
    openssl ca -batch -config "$ca.db/ca.conf" -in "$name.csr" -out "$name.pem" -notext \
        -startdate "$start" -enddate "$end" -extfile "$name.ext" -extensions ext 2>/dev/null
    rm -f "$name.csr" "$name.ext"
}

stamp() { date -u -d "$1" +%y%m%d%H%M%SZ; }
now=$(stamp "-1 hour")
later=$(stamp "+3650 days")

make_ca ca "korvad fleet CA"
issue ca server "job server" "IP:127.0.0.1,DNS:localhost" "$now" "$later"
issue ca device dev - "$now" "$later"
openssl pkey -in server.key -pubout -outform DER | sha256sum | cut -d' ' -f1 >server.pin

if [ "${2:-}" = all ]; then
    issue ca expired "job server" "IP:127.0.0.1,DNS:localhost" "$(stamp '-30 days')" "$(stamp '-1 day')"
    issue ca future "job server" "IP:127.0.0.1,DNS:localhost" "$(stamp '+30 days')" "$(stamp '+60 days')"
    issue ca wrongname "job server" "DNS:wrong.example" "$now" "$later"
    make_ca other-ca "someone else's CA"
    issue other-ca untrusted "job server" "IP:127.0.0.1,DNS:localhost" "$now" "$later"
fi
chmod 0644 ./*.pem
