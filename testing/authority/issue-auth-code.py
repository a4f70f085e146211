#!/usr/bin/env python3
"""The test authorisation service: turns an authorisation request ("reqCode" of
"gen_auth_req") into an authorisation code ("authCode"), with the openssl command line
doing the cryptography.

  issue-auth-code.py --key KEY.pem --req REQCODE [--admin-pin PIN] [--device-key KEY]
                     [--type N] [--sn SN] [--show]

The request is Base64 of the service-key encryption (RSA PKCS#1 v1.5, or SM2) of
  4 | type | n | serial number | 36 | 08 02 00 00 | 0x6603 | 0x18 | 24-byte 3DES key
(integers 32-bit little-endian), its bytes reversed. The code is Base64 of the triple-DES
CBC encryption (zero IV, PKCS#7 padding) with that key of
  4 | type | n | serial number | m | administrator PIN [| k | device key, type 1 only].
--type and --sn issue the code with another type or serial number than asked for; --show
prints the request's type and serial number instead of a code. Exit 1 on a malformed
request.
"""
import argparse
import base64
import struct
import subprocess
import sys

KEY_BLOB_HEADER = bytes([0x08, 0x02, 0x00, 0x00]) + struct.pack("<II", 0x6603, 0x18)


def fail(text):
    print("issue-auth-code: " + text, file=sys.stderr)
    sys.exit(1)


def openssl(args, data):
    r = subprocess.run(["openssl"] + args, input=data, capture_output=True, timeout=20)
    if r.returncode != 0:
        fail("openssl %s failed: %s" % (args[0], r.stderr.decode(errors="replace").strip()))
    return r.stdout


def parse_request(plain):
    def u32(at):
        if at + 4 > len(plain):
            fail("request too short")
        return struct.unpack_from("<I", plain, at)[0]

    if u32(0) != 4:
        fail("request does not start with 4")
    req_type, n = u32(4), u32(8)
    if n > 64 or 12 + n > len(plain):
        fail("bad serial number length %d" % n)
    sn = plain[12:12 + n]
    at = 12 + n
    if u32(at) != 36 or plain[at + 4:at + 16] != KEY_BLOB_HEADER:
        fail("bad key blob")
    key = plain[at + 16:at + 40]
    if len(key) != 24 or at + 40 != len(plain):
        fail("bad key length")
    return req_type, sn, key


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--key", required=True, help="the service's private key (PEM)")
    p.add_argument("--req", required=True, help="the Base64 request")
    p.add_argument("--admin-pin", default="", help="the token's administrator PIN")
    p.add_argument("--device-key", default="", help="the device authentication key (type 1)")
    p.add_argument("--type", type=int, help="issue this type instead of the requested one")
    p.add_argument("--sn", help="issue for this serial number instead of the requested one")
    p.add_argument("--show", action="store_true", help="print the request, issue nothing")
    a = p.parse_args()

    try:
        cipher = base64.b64decode(a.req, validate=True)[::-1]
    except ValueError:
        fail("the request is not Base64")
    plain = openssl(["pkeyutl", "-decrypt", "-inkey", a.key], cipher)
    req_type, sn, key = parse_request(plain)
    if a.show:
        print("type=%d sn=%s" % (req_type, sn.decode()))
        return

    code_type = req_type if a.type is None else a.type
    code_sn = sn if a.sn is None else a.sn.encode()
    pin = a.admin_pin.encode()
    rec = struct.pack("<III", 4, code_type, len(code_sn)) + code_sn
    rec += struct.pack("<I", len(pin)) + pin
    if code_type == 1:
        dev = a.device_key.encode()
        rec += struct.pack("<I", len(dev)) + dev
    code = openssl(["enc", "-des-ede3-cbc", "-K", key.hex(), "-iv", "0" * 16], rec)
    print(base64.b64encode(code).decode())


main()
