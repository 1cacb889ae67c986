// Line-oriented JSON oracle over stdin/stdout, driven by the C++ tests.
// Request:  {"id": 1, "op": "xwing.keygen", ...hex fields}
// Answer:   {"id": 1, "ok": true, ...hex fields} or {"id": 1, "ok": false, "error": "text"}
// All byte strings are lower-case hex. Add an operation by adding an entry to `ops`.
import { createInterface } from 'node:readline';
import { ml_kem768_x25519 } from '@noble/post-quantum/hybrid.js';
import { ml_kem768 } from '@noble/post-quantum/ml-kem.js';
import { ml_dsa87 } from '@noble/post-quantum/ml-dsa.js';

const hexToBytes = (h) => {
  if (typeof h !== 'string' || h.length % 2 !== 0 || !/^[0-9a-fA-F]*$/.test(h)) throw new Error('bad hex');
  return Uint8Array.from(Buffer.from(h, 'hex'));
};
const bytesToHex = (b) => Buffer.from(b).toString('hex');
const opt = (req, name) => (req[name] === undefined ? undefined : hexToBytes(req[name]));

const ops = {
  // X-Wing (ML-KEM-768 + X25519)
  'xwing.keygen': (r) => {
    const { publicKey, secretKey } = ml_kem768_x25519.keygen(hexToBytes(r.seed));
    return { publicKey: bytesToHex(publicKey), secretKey: bytesToHex(secretKey) };
  },
  'xwing.encapsulate': (r) => {
    const { cipherText, sharedSecret } = ml_kem768_x25519.encapsulate(hexToBytes(r.publicKey), opt(r, 'eseed'));
    return { cipherText: bytesToHex(cipherText), sharedSecret: bytesToHex(sharedSecret) };
  },
  'xwing.decapsulate': (r) => ({
    sharedSecret: bytesToHex(ml_kem768_x25519.decapsulate(hexToBytes(r.cipherText), hexToBytes(r.secretKey))),
  }),
  // ML-KEM-768; seed = d || z (64 bytes), m = 32 bytes
  'mlkem768.keygen': (r) => {
    const { publicKey, secretKey } = ml_kem768.keygen(hexToBytes(r.seed));
    return { publicKey: bytesToHex(publicKey), secretKey: bytesToHex(secretKey) };
  },
  'mlkem768.encapsulate': (r) => {
    const { cipherText, sharedSecret } = ml_kem768.encapsulate(hexToBytes(r.publicKey), opt(r, 'm'));
    return { cipherText: bytesToHex(cipherText), sharedSecret: bytesToHex(sharedSecret) };
  },
  'mlkem768.decapsulate': (r) => ({
    sharedSecret: bytesToHex(ml_kem768.decapsulate(hexToBytes(r.cipherText), hexToBytes(r.secretKey))),
  }),
  // ML-DSA-87, pure mode with an optional context (default empty).
  // sign: "rnd" = 32 hex bytes of randomness; "deterministic": true for rnd = 0^32; neither = fresh random.
  'mldsa87.keygen': (r) => {
    const { publicKey, secretKey } = ml_dsa87.keygen(hexToBytes(r.seed));
    return { publicKey: bytesToHex(publicKey), secretKey: bytesToHex(secretKey) };
  },
  'mldsa87.sign': (r) => {
    const opts = { context: opt(r, 'context') ?? new Uint8Array(0) };
    if (r.deterministic) opts.extraEntropy = false;
    else if (r.rnd !== undefined) opts.extraEntropy = hexToBytes(r.rnd);
    return { signature: bytesToHex(ml_dsa87.sign(hexToBytes(r.message), hexToBytes(r.secretKey), opts)) };
  },
  'mldsa87.verify': (r) => {
    let valid;
    try {
      valid = ml_dsa87.verify(hexToBytes(r.signature), hexToBytes(r.message), hexToBytes(r.publicKey), {
        context: opt(r, 'context') ?? new Uint8Array(0),
      });
    } catch {
      valid = false;
    }
    return { valid };
  },
  ping: () => ({ version: '1' }),
};

const rl = createInterface({ input: process.stdin, crlfDelay: Infinity });
rl.on('line', (line) => {
  if (line.trim() === '') return;
  let id = null;
  let answer;
  try {
    const req = JSON.parse(line);
    id = req.id ?? null;
    const fn = ops[req.op];
    if (!fn) throw new Error(`unknown op ${req.op}`);
    answer = { id, ok: true, ...fn(req) };
  } catch (e) {
    answer = { id, ok: false, error: String(e && e.message ? e.message : e) };
  }
  process.stdout.write(JSON.stringify(answer) + '\n');
});
