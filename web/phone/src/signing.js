// Signed records, the page's half of Vorn's one definition (src/common/recordsignature.h is the
// computer's): a paired phone signs "syncedBlockState" and "blockSchedule" with its ECDSA P-256
// key, adding "signedBy" (its fingerprint) and "signature" (base64 of the 64-byte r||s signature
// WebCrypto makes) over canonicalText(). Public keys travel as base64 SPKI.

const algorithm = { name: 'ECDSA', namedCurve: 'P-256' };
const signing = { name: 'ECDSA', hash: 'SHA-256' };
const subtle = () => globalThis.crypto.subtle;

export function toBase64(bytes) {
  let text = '';
  for (const byte of new Uint8Array(bytes))
    text += String.fromCharCode(byte);
  return btoa(text);
}

// Strict standard base64 with padding; null for anything else.
export function fromBase64(text) {
  if (typeof text !== 'string' || !/^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/.test(text))
    return null;
  const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
  return toBase64(bytes) === text ? bytes : null;
}

function canonicalJson(value) {
  if (Array.isArray(value))
    return `[${value.map((item) => (item === undefined ? 'null' : canonicalJson(item))).join(',')}]`;
  if (value !== null && typeof value === 'object') {
    // The default sort compares UTF-16 code units, as Vorn does.
    const names = Object.keys(value).filter((name) => value[name] !== undefined).sort();
    return `{${names.map((name) => `${JSON.stringify(name)}:${canonicalJson(value[name])}`).join(',')}}`;
  }
  return JSON.stringify(value);
}

// "vorn-signed-record-1\n" + store key + "\n" + the record without "signature" as compact JSON,
// members sorted at every depth.
export function canonicalText(storeKey, record) {
  const { signature, ...covered } = record;
  return `vorn-signed-record-1\n${storeKey}\n${canonicalJson(covered)}`;
}

// The first 10 bytes of SHA-256 over the SPKI DER, as "3F9A-C2D1-7B40-E5A2-91CC".
export async function fingerprint(spki) {
  const digest = new Uint8Array(await subtle().digest('SHA-256', spki)).slice(0, 10);
  const hex = Array.from(digest, (byte) => byte.toString(16).padStart(2, '0')).join('').toUpperCase();
  return hex.match(/.{4}/g).join('-');
}

// A fingerprint as typed (any case, dashes or spaces optional), formatted; null when it is not one.
export function normalizeFingerprint(typed) {
  const hex = String(typed).replace(/[- ]/g, '').toUpperCase();
  return /^[0-9A-F]{20}$/.test(hex) ? hex.match(/.{4}/g).join('-') : null;
}

export function offerKey(fingerprintText) {
  return `pairingOffer.${fingerprintText.replace(/-/g, '')}`;
}

// A new key pair; the private key cannot leave the browser (it is kept as a CryptoKey in
// IndexedDB). Resolves to { privateKey, publicKey (base64 SPKI), fingerprint }.
export async function createKey() {
  const pair = await subtle().generateKey(algorithm, false, ['sign', 'verify']);
  const spki = await subtle().exportKey('spki', pair.publicKey);
  return { privateKey: pair.privateKey, publicKey: toBase64(spki), fingerprint: await fingerprint(spki) };
}

// The record with signedBy and signature set (a copy; the record itself is left as it is).
export async function sign(storeKey, record, privateKey, signedBy) {
  const covered = { ...record, signedBy };
  delete covered.signature;
  const bytes = new TextEncoder().encode(canonicalText(storeKey, covered));
  const signature = await subtle().sign(signing, privateKey, bytes);
  return { ...covered, signature: toBase64(signature) };
}

// Whether the record carries a valid signature by the key (base64 SPKI) and names that key.
export async function verify(storeKey, record, publicKey) {
  const spki = fromBase64(publicKey);
  const signature = fromBase64(record?.signature);
  if (!spki || !signature || signature.length !== 64)
    return false;
  try {
    if (record.signedBy !== await fingerprint(spki))
      return false;
    const key = await subtle().importKey('spki', spki, algorithm, false, ['verify']);
    return await subtle().verify(signing, key, signature, new TextEncoder().encode(canonicalText(storeKey, record)));
  } catch {
    return false;
  }
}
