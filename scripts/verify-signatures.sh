#!/usr/bin/env bash
# verify-signatures.sh IMAGE CERT [UNSIGNED]
#
# Checks that IMAGE carries the two Authenticode signatures scripts/sign-images.sh gives it, as
# osslsigncode verify lists them: signature 0 (the primary) with a SHA-1 digest, for a Windows that
# cannot check SHA-256 (Windows 7 without its SHA-2 update), and signature 1, nested in it, with a
# SHA-256 digest, for the rest; both verified against CERT (PEM or DER), and no other signature.
# Which of the two a given Windows checks is not tried here (no Windows). With UNSIGNED, also that
# IMAGE is that file with a certificate table appended and nothing else changed but the PE checksum
# and the certificate table's directory entry.
# Prints one PASS or FAIL line per check; exit status 0 only when all passed, 2 on usage.
set -uo pipefail
[ $# -ge 2 ] && [ $# -le 3 ] || { echo "usage: $0 IMAGE CERT [UNSIGNED]" >&2; exit 2; }
IMAGE=$1 CERT=$2 UNSIGNED=${3:-}
RC=0
pem=$(mktemp) log=$(mktemp)
trap 'rm -f "$pem" "$log"' EXIT
openssl x509 -in "$CERT" -out "$pem" 2>/dev/null || openssl x509 -inform DER -in "$CERT" -out "$pem" 2>/dev/null ||
  { echo "FAIL: $CERT is no certificate (PEM or DER)"; exit 1; }
osslsigncode verify -in "$IMAGE" -CAfile "$pem" >"$log" 2>&1
vrc=$?
# The digest algorithm of each signature, in index order: "0 SHA1 1 SHA256".
digests=$(awk '/^Signature Index: /{i=$3} /^Message digest algorithm  *: /&&i!=""{print i, $NF; i=""}' "$log" | tr '\n' ' ')
verified=$(sed -n 's/^Number of verified signatures: //p' "$log")
if [ $vrc = 0 ] && [ "$digests" = "0 SHA1 1 SHA256 " ] && [ "$verified" = 2 ]; then
  echo "PASS: $IMAGE: two signatures, SHA-1 then a nested SHA-256, both verified against $(basename "$CERT")"
else
  tail -n 8 "$log"
  echo "FAIL: $IMAGE: osslsigncode verify (exit $vrc) lists signatures ${digests:-none} ($verified verified), expected 0 SHA1 1 SHA256, both verified"
  RC=1
fi
if [ -n "$UNSIGNED" ]; then
  if out=$(python3 - "$IMAGE" "$UNSIGNED" <<'PY'
import struct, sys
signed, plain = (open(p, "rb").read() for p in sys.argv[1:3])
pe = struct.unpack_from("<I", plain, 0x3C)[0]
opt = pe + 24
dirs = opt + (96 if struct.unpack_from("<H", plain, opt)[0] == 0x10B else 112)
security = dirs + 4 * 8                     # IMAGE_DIRECTORY_ENTRY_SECURITY
offset, size = struct.unpack_from("<II", signed, security)
def masked(b):
    b = bytearray(b[:len(plain)])
    b[opt + 64:opt + 68] = bytes(4)         # CheckSum
    b[security:security + 8] = bytes(8)
    return bytes(b)
if masked(signed) != masked(plain):
    sys.exit("its bytes differ from %s beyond the checksum and the certificate directory" % sys.argv[2])
if offset < len(plain) or signed[len(plain):offset].strip(b"\0") or offset + size != len(signed):
    sys.exit("after the unsigned bytes comes more than padding and the certificate table "
             "(table at %d, %d bytes; file %d bytes, unsigned %d)" % (offset, size, len(signed), len(plain)))
print("%d bytes of certificate table at %d" % (size, offset))
PY
  ); then
    echo "PASS: $IMAGE is $UNSIGNED with a certificate table appended ($out)"
  else
    echo "FAIL: $IMAGE: $out"; RC=1
  fi
fi
exit $RC
