// The session's publishing and receiving against a stand-in for the MQTT client: each publish is
// answered by its own PUBACK only, and a message given up on is never sent again.

import assert from 'node:assert/strict';
import { EventEmitter } from 'node:events';
import { webcrypto } from 'node:crypto';
import { test } from 'node:test';

import { maxValueBytes, Session } from '../src/session.js';

globalThis.crypto ??= webcrypto;

// Holds published messages until told to write them (emitting 'packetsend', as the client does
// when the packet leaves), and calls a message's callback when its PUBACK is "received".
class FakeClient extends EventEmitter {
  connected = true;
  queued = [];
  pending = new Map(); // message id -> callback
  withdrawn = [];
  nextId = 1;

  publish(topic, payload, options, callback) {
    this.queued.push({ packet: { cmd: 'publish', topic, payload, ...options }, callback });
  }

  write() {
    const { packet, callback } = this.queued.shift();
    packet.messageId = this.nextId++;
    this.pending.set(packet.messageId, callback);
    this.emit('packetsend', packet);
  }

  puback(messageId, reasonCode = 0) {
    const callback = this.pending.get(messageId);
    this.pending.delete(messageId); // an answer to nothing pending is ignored
    callback?.(reasonCode ? Object.assign(new Error(`reason ${reasonCode}`), { code: reasonCode }) : null);
  }

  removeOutgoingMessage(messageId) {
    this.withdrawn.push(messageId);
    const callback = this.pending.get(messageId);
    this.pending.delete(messageId);
    callback?.(new Error('Message removed'));
  }

  drop() {
    this.connected = false;
    this.emit('close');
  }
}

// A session on stand-ins: `client` publishes, `listener` receives.
function session(handlers = {}) {
  const clients = [];
  const noop = () => {};
  const made = new Session(() => clients[clients.push(new FakeClient()) - 1], { broker: 'ws://b', user: 'u' }, 'pw',
                           { link: noop, connected: noop, unreachable: noop, ...handlers });
  return { listener: clients[0], client: clients[1], session: made };
}

// What a publish ended with: 'sent' or a PublishError's reason; 'pending' if it has not after a
// few milliseconds, when asked without waiting.
const ending = (promise) => promise.then(() => 'sent', (error) => error.reason);
const soFar = (ended) => Promise.race([ended, new Promise((resolve) => setTimeout(() => resolve('pending'), 5))]);
const bytes = (text) => new TextEncoder().encode(text);

for (const [name, script, expected, withdrawn] of [
  ['its PUBACK confirms it', (c) => { c.write(); c.puback(1); }, 'sent', []],
  ['a refusing PUBACK', (c) => { c.write(); c.puback(1, 135); }, 'refused', []],
  ['the connection drops first', (c) => { c.write(); c.drop(); }, 'lost', [1]],
  ['no answer in time', (c) => c.write(), 'timeout', [1]],
  ['no answer in time, written only later', () => {}, 'timeout', []],
  ['offline', (c) => { c.connected = false; }, 'offline', []],
]) {
  test(`a publish ends as it should: ${name}`, async () => {
    const { client, session: s } = session();
    if (name === 'offline')
      script(client);
    const published = s.publishRetained('vorn/u/kv/k', bytes('1'), { timeoutMs: 20 });
    if (name !== 'offline')
      script(client);
    assert.equal(await ending(published), expected);
    assert.deepEqual(client.withdrawn, withdrawn);
  });
}

test('after a publish timed out, its late PUBACK and a drop touch only what is theirs', async () => {
  const { client, session: s } = session();
  const first = ending(s.publishRetained('vorn/u/kv/k', bytes('first'), { timeoutMs: 10 }));
  await new Promise((resolve) => setTimeout(resolve, 20));
  assert.equal(await soFar(first), 'timeout');
  const second = ending(s.publishRetained('vorn/u/kv/k', bytes('second'), { timeoutMs: 10000 }));
  client.write(); // the first, held up until now: withdrawn as it leaves
  client.write(); // the second
  client.puback(1); // late: no longer pending
  assert.equal(await soFar(second), 'pending');
  client.drop();
  assert.equal(await soFar(second), 'lost');
  assert.deepEqual(client.withdrawn, [1, 2]);
});

test('values over 1 MiB are set aside with their size, deletions ignored', () => {
  const seen = [];
  const { listener } = session({ value: (key, value) => seen.push([key, value.length]), oversized: (key, size) => seen.push([key, 'too large', size]) });
  for (const [key, size] of [['deviceRegistry', maxValueBytes], ['deviceRegistry', maxValueBytes + 1], ['syncedBlockState', 0]])
    listener.emit('message', `vorn/u/kv/${key}`, new Uint8Array(size));
  assert.deepEqual(seen, [['deviceRegistry', maxValueBytes], ['deviceRegistry', 'too large', maxValueBytes + 1]]);
});
