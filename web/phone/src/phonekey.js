// This phone's signing key: made once, at the first sign-in, with WebCrypto (its private half
// cannot be exported) and kept in IndexedDB. Its public half is offered under
// "pairingOffer.<fingerprint>" so that a computer can pair with this phone; once one has, it
// applies only what this key (or another paired one) signed. A browser that cannot keep a key
// (no IndexedDB, or no WebCrypto on a page served over plain http from another host) sends its
// records unsigned, as before.

import { referenceSecondsFromMillis } from './records.js';
import { createKey, offerKey, sign } from './signing.js';

const database = 'vorn';
const storeName = 'keys';
const keyName = 'phone';

function done(request) {
  return new Promise((resolve, reject) => {
    request.onsuccess = () => resolve(request.result);
    request.onerror = () => reject(request.error);
  });
}

function stored(db) {
  return done(db.transaction(storeName).objectStore(storeName).get(keyName));
}

// Resolves to { privateKey, publicKey (base64 SPKI), fingerprint }, or null when this browser
// cannot keep a key.
export async function phoneKey(indexedDB = globalThis.indexedDB) {
  if (!indexedDB || !globalThis.crypto?.subtle)
    return null;
  try {
    const open = indexedDB.open(database, 1);
    open.onupgradeneeded = () => open.result.createObjectStore(storeName);
    const db = await done(open);
    const kept = await stored(db);
    if (kept?.privateKey && kept.fingerprint)
      return kept;
    const made = await createKey();
    try {
      await done(db.transaction(storeName, 'readwrite').objectStore(storeName).add(made, keyName));
      return made;
    } catch {
      return await stored(db); // another tab signed in at the same moment: its key stands
    }
  } catch {
    return null;
  }
}

// A name for the computer's list of offered phones; the fingerprint is what identifies it.
export function phoneName(userAgent) {
  const known = ['iPhone', 'iPad', 'Android', 'Windows', 'Mac OS', 'Linux'];
  return known.find((name) => String(userAgent).includes(name))?.replace('Mac OS', 'Mac') ?? 'Phone';
}

export function offer(key, name, nowMillis) {
  return {
    key: offerKey(key.fingerprint),
    bytes: new TextEncoder().encode(JSON.stringify({
      name, publicKey: key.publicKey, offeredAt: referenceSecondsFromMillis(nowMillis),
    })),
  };
}

// The record's JSON text (as records.js encodes it) as bytes, signed when there is a key: the
// members as they were, then "signedBy" and "signature".
export async function signedBytes(key, storeKey, text) {
  if (!key)
    return new TextEncoder().encode(text);
  const { signedBy, signature } = await sign(storeKey, JSON.parse(text), key.privateKey, key.fingerprint);
  const members = `"signedBy":${JSON.stringify(signedBy)},"signature":${JSON.stringify(signature)}`;
  return new TextEncoder().encode(text === '{}' ? `{${members}}` : `${text.slice(0, -1)},${members}}`);
}
