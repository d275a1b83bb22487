// The session's publishing against a stand-in MQTT client: a publish is answered by its own PUBACK
// only, and a message given up on (timed out, connection dropped) is withdrawn, never sent again.

import assert from 'node:assert/strict';
import { webcrypto } from 'node:crypto';
import { EventEmitter } from 'node:events';
import { test } from 'node:test';

import { maxValueBytes, Session } from '../src/session.js';

globalThis.crypto ??= webcrypto;

// Holds published messages until write() sends the oldest ('packetsend', ids from 1 on); answer()
// calls a sent message's callback once, as its PUBACK or removeOutgoingMessage does.
class FakeClient extends EventEmitter {
  connected = true;
  queued = [];
  sent = [];
  withdrawn = [];
  publish(topic, payload, options, callback) { this.queued.push({ cmd: 'publish', topic, payload, callback }); }
  write() { const packet = this.queued.shift(); packet.messageId = this.sent.push(packet); this.emit('packetsend', packet); }
  answer(messageId, error = null) { this.sent[messageId - 1]?.callback(error); this.sent[messageId - 1] = null; }
  removeOutgoingMessage(messageId) { this.withdrawn.push(messageId); this.answer(messageId, new Error('Message removed')); }
  drop() { this.connected = false; this.emit('close'); }
}

// A session on stand-ins (`listener` receives, `client` publishes); publish() resolves to 'sent'
// or the PublishError's reason.
function session(handlers = {}) {
  const clients = [];
  const noop = () => {};
  const made = new Session(() => clients[clients.push(new FakeClient()) - 1], { broker: 'ws://b', user: 'u' }, 'pw',
                           { link: noop, connected: noop, unreachable: noop, ...handlers });
  const publish = (text, timeoutMs) => made.publishRetained('vorn/u/kv/k', new TextEncoder().encode(text), { timeoutMs })
    .then(() => 'sent', (error) => error.reason);
  return { listener: clients[0], client: clients[1], publish };
}

// What has become of a publish: 'pending' if it has not ended within a few milliseconds.
const soFar = (ended) => Promise.race([ended, new Promise((resolve) => setTimeout(() => resolve('pending'), 5))]);

for (const [name, script, expected, withdrawn] of [
  ['its PUBACK confirms it', (c) => { c.write(); c.answer(1); }, 'sent', []],
  ['a refusing PUBACK', (c) => { c.write(); c.answer(1, new Error('Not authorized')); }, 'refused', []],
  ['the connection drops first', (c) => { c.write(); c.drop(); }, 'lost', [1]],
  ['no answer in time', (c) => c.write(), 'timeout', [1]],
  ['no answer in time, not even written', () => {}, 'timeout', []],
]) {
  test(`a publish ends as it should: ${name}`, async () => {
    const { client, publish } = session();
    const ended = publish('1', 20);
    script(client);
    assert.equal(await ended, expected);
    assert.deepEqual(client.withdrawn, withdrawn);
  });
}

test('after a publish timed out, its late PUBACK and a drop touch only what is theirs', async () => {
  const { client, publish } = session();
  const first = publish('first', 10);
  await new Promise((resolve) => setTimeout(resolve, 20));
  assert.equal(await soFar(first), 'timeout');
  const second = publish('second', 10000);
  client.write(); // the first, held up until now: withdrawn as it leaves
  client.write(); // the second
  client.answer(1); // late: no longer pending
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
