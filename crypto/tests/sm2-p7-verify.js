// Independent check of an SM2 PKCS#7 signed-data structure with the sm-crypto package (pure
// JavaScript SM2/SM3): walks the DER by hand, checks the algorithm identifiers, the message
// digest attribute against SM3 of the content, and the SM2 signature (identity
// 1234567812345678) over the authenticated attributes, or over the content when there are none.
//
//   node sm2-p7-verify.js P7.der [CONTENT [CERT]]   prints "OK" and exits 0 when everything holds
//
// CONTENT may be "" for attached content; CERT (DER) is the signer's when the structure
// carries no certificate.
'use strict';
const fs = require('fs');
const { sm2, sm3 } = require('sm-crypto');

const OID_SM2_SIGN = '2a811ccf5501822d';  // 1.2.156.10197.1.301
const OID_SM3 = '2a811ccf55018311';       // 1.2.156.10197.1.401
const OID_SIGNED_DATA = '2a864886f70d010702';
const OID_DATA = '2a864886f70d010701';
const OID_MESSAGE_DIGEST = '2a864886f70d010904';

function fail(why) {
  console.log('FAIL: ' + why);
  process.exit(1);
}

function node(buf, off) {
  if (off + 2 > buf.length) fail('truncated at ' + off);
  const tag = buf[off];
  let len = buf[off + 1];
  let hdr = 2;
  if (len & 0x80) {
    const n = len & 0x7f;
    if (n < 1 || n > 4) fail('bad length at ' + off);
    len = 0;
    for (let i = 0; i < n; i++) len = len * 256 + buf[off + 2 + i];
    hdr += n;
  }
  const end = off + hdr + len;
  if (end > buf.length) fail('length past the end at ' + off);
  return { tag, start: off, body: off + hdr, end };
}

function kids(buf, n) {
  const out = [];
  for (let p = n.body; p < n.end;) {
    const c = node(buf, p);
    out.push(c);
    p = c.end;
  }
  return out;
}

const hex = (buf, n) => buf.subarray(n.body, n.end).toString('hex');
const algOid = (buf, n) => hex(buf, kids(buf, n)[0]);

const buf = fs.readFileSync(process.argv[2]);
const ci = node(buf, 0);
const [ciType, ciBody] = kids(buf, ci);
if (hex(buf, ciType) !== OID_SIGNED_DATA) fail('not signed data');
const sd = kids(buf, kids(buf, ciBody)[0]);
let i = 0;
i++;  // version
for (const alg of kids(buf, sd[i++])) if (algOid(buf, alg) !== OID_SM3) fail('digest algorithm is not SM3');
const inner = kids(buf, sd[i++]);
if (hex(buf, inner[0]) !== OID_DATA) fail('content type is not data');
let content = null;
if (inner.length > 1) {
  const os = kids(buf, inner[1])[0];
  content = buf.subarray(os.body, os.end);
}
if (process.argv[3]) content = fs.readFileSync(process.argv[3]);
if (content === null) fail('detached content not given');
let certs = null;
while (sd[i].tag === 0xa0 || sd[i].tag === 0xa1) {
  if (sd[i].tag === 0xa0) certs = kids(buf, sd[i]);
  i++;
}
let certBuf = buf;
let certNode = certs && certs.length > 0 ? certs[0] : null;
if (!certNode && process.argv[4]) {
  certBuf = fs.readFileSync(process.argv[4]);
  certNode = node(certBuf, 0);
}
if (!certNode) fail('no certificate');
const signers = kids(buf, sd[i]);
if (signers.length !== 1) fail('expected one signer');
const si = kids(buf, signers[0]);
let j = 2;  // version, issuerAndSerialNumber
if (algOid(buf, si[j++]) !== OID_SM3) fail('signer digest is not SM3');
let attrs = null;
if (si[j].tag === 0xa0) attrs = si[j++];
if (algOid(buf, si[j++]) !== OID_SM2_SIGN) fail('signature algorithm is not SM2');
const sigHex = hex(buf, si[j]);

// The signer's public key: subjectPublicKeyInfo of the (only) certificate.
const tbs = kids(certBuf, kids(certBuf, certNode)[0]);
const spki = kids(certBuf, tbs[tbs[0].tag === 0xa0 ? 6 : 5]);
const pub = certBuf.subarray(spki[1].body + 1, spki[1].end).toString('hex');  // skip the unused-bits byte

const opts = { der: true, hash: true, userId: '1234567812345678' };
let signed;
if (attrs) {
  let md = null;
  for (const a of kids(buf, attrs)) {
    const [type, values] = kids(buf, a);
    if (hex(buf, type) === OID_MESSAGE_DIGEST) md = hex(buf, kids(buf, values)[0]);
  }
  // SM3 of the content, or with SM2_Z_DIGEST=1 SM3 of Z || content (GM/T 0003 Z of the
  // signer's key and the identity), which is what the token path puts in this attribute.
  let expected = sm3(Array.from(content));
  if (process.env.SM2_Z_DIGEST === '1') {
    const hexBytes = (h) => Array.from(Buffer.from(h, 'hex'));
    const id = Array.from(Buffer.from(opts.userId, 'utf8'));
    const curve =
        'fffffffeffffffffffffffffffffffffffffffff00000000fffffffffffffffc' +
        '28e9fa9e9d9f5e344d5a9e4bcf6509a7f39789f515ab8f92ddbcbd414d940e93' +
        '32c4ae2c1f1981195f9904466a39c9948fe30bbff2660be1715a4589334c74c7' +
        'bc3736a2f4f6779c59bdcee36b692153d0a9877cc62a474002df32e52139f0a0';
    const z = sm3([(id.length * 8) >> 8, (id.length * 8) & 0xff, ...id, ...hexBytes(curve), ...hexBytes(pub.slice(2))]);
    expected = sm3([...hexBytes(z), ...Array.from(content)]);
  }
  if (md !== expected) fail('message digest differs from SM3 of the content');
  signed = Array.from(buf.subarray(attrs.start, attrs.end));
  signed[0] = 0x31;  // the attributes are signed as a universal SET
} else {
  signed = Array.from(content);
}
if (!sm2.doVerifySignature(signed, sigHex, pub, opts)) fail('SM2 signature does not verify');
console.log('OK');
