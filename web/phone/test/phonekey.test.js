import assert from 'node:assert/strict';
import { test } from 'node:test';

import { offer, phoneName, signedBytes } from '../src/phonekey.js';
import { createKey, verify } from '../src/signing.js';

test('a record goes out signed, its own members byte for byte as encoded', async () => {
  const key = await createKey();
  const text = '{"isBlocking":true,"targetDeviceIDs":["M"],"updatedAt":818000000.125,"endsAt":818003600}';
  assert.equal(new TextDecoder().decode(await signedBytes(null, 'syncedBlockState', text)), text);
  const signed = new TextDecoder().decode(await signedBytes(key, 'syncedBlockState', text));
  assert.ok(signed.startsWith(`${text.slice(0, -1)},"signedBy":"${key.fingerprint}","signature":"`));
  assert.ok(await verify('syncedBlockState', JSON.parse(signed), key.publicKey));
  const offered = offer(key, phoneName('Mozilla/5.0 (iPhone; CPU iPhone OS 17_0 like Mac OS X)'), 978307200000 + 5000);
  assert.equal(offered.key, `pairingOffer.${key.fingerprint.replaceAll('-', '')}`);
  assert.deepEqual(JSON.parse(new TextDecoder().decode(offered.bytes)), { name: 'iPhone', publicKey: key.publicKey, offeredAt: 5 });
});
