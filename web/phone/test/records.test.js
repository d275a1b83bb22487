import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  decodeBlockState, decodeRegistry, decodeSchedule, defaultTargets, devicesForDisplay, encodeBlockState,
  encodeBlockStateBytes, encodeSchedule, referenceSecondsFromMillis, staleAfter,
} from '../src/records.js';
import { registryCases, scheduleCases, stateCases } from './cases.js';

const day = 86400;
const now = 800000000;
const record = (id, deviceType, deviceName, lastSeenAt) => ({ id, deviceType, deviceName, lastSeenAt });
const bytes = (text) => new TextEncoder().encode(text);

test('the block state is written with its three members, typed and in order', () => {
  const text = encodeBlockState({ isBlocking: true, targetDeviceIDs: ['B', 'A', 'B', 'A'], updatedAt: 12.5 });
  assert.equal(text, '{"isBlocking":true,"targetDeviceIDs":["A","B"],"updatedAt":12.5}');
  assert.deepEqual(decodeBlockState(encodeBlockStateBytes({ isBlocking: false, targetDeviceIDs: new Set(['x']), updatedAt: 0 })),
                   { isBlocking: false, targetDeviceIDs: ['x'], updatedAt: 0 });
});

test('updatedAt counts seconds since 2001-01-01 UTC, with fraction', () => {
  assert.equal(referenceSecondsFromMillis(Date.UTC(2001, 0, 1)), 0);
  assert.equal(referenceSecondsFromMillis(Date.UTC(2026, 11, 7, 1, 2, 3, 250)), 818298123.25);
});

for (const [name, state] of [
  ['isBlocking as a number', { isBlocking: 1, targetDeviceIDs: [], updatedAt: 0 }],
  ['a target that is not a string', { isBlocking: true, targetDeviceIDs: [7], updatedAt: 0 }],
  ['a target with half a surrogate pair', { isBlocking: true, targetDeviceIDs: ['A\ud800'], updatedAt: 0 }],
  ['targets missing', { isBlocking: true, updatedAt: 0 }],
  ['updatedAt not finite', { isBlocking: true, targetDeviceIDs: [], updatedAt: NaN }],
  ['updatedAt as a date', { isBlocking: true, targetDeviceIDs: [], updatedAt: new Date() }],
]) {
  test(`encoding refuses ${name}`, () => assert.throws(() => encodeBlockState(state), TypeError));
}

for (const [name, text, expected] of stateCases)
  test(`reading the block state: ${name}`, () => assert.deepEqual(decodeBlockState(bytes(text)), expected));

for (const [name, text, expected] of registryCases)
  test(`reading the registry: ${name}`, () => assert.deepEqual(decodeRegistry(bytes(text)), expected));

for (const [name, text, expected] of scheduleCases) {
  test(`reading the schedule: ${name}`, () => {
    assert.deepEqual(decodeSchedule(bytes(text)), expected);
    if (expected) // and written back as Vorn writes it
      assert.deepEqual(decodeSchedule(bytes(encodeSchedule(expected))), expected);
  });
}

test('a device says why it held a record back; a malformed reason is left out, the record kept', () => {
  const held = (heldBack) => decodeRegistry(bytes(`{"M":{"id":"M","deviceType":"mac","deviceName":"D","lastSeenAt":5,"heldBack":${heldBack}}}`))[0].heldBack;
  assert.deepEqual(held('{"updatedAt":4,"reason":"locked","until":9,"x":1}'), { updatedAt: 4, reason: 'locked', until: 9 });
  assert.deepEqual(held('{"updatedAt":4,"reason":"unsigned"}'), { updatedAt: 4, reason: 'unsigned' });
  assert.equal(held('{"updatedAt":4,"reason":"locked","until":"17:00"}'), undefined);
  assert.equal(held('"locked"'), undefined);
});

test('bytes that are not UTF-8 are undecodable', () => assert.equal(decodeRegistry(Uint8Array.of(0x7b, 0xff, 0x7d)), null));

test('devices are listed once per id, recent ones first, stale ones marked', () => {
  const devices = devicesForDisplay([
    record('old', 'mac', 'Attic', now - staleAfter - 1),
    record('edge', 'mac', 'beta', now - staleAfter),
    record('p', 'iPhone', 'Alpha', now - day),
    record('p', 'iPhone', 'Alpha', now - 2 * day),
    record('q', 'iPad', 'alpha 10', now),
    record('r', 'iPad', 'alpha 9', now),
  ], now);
  assert.deepEqual(devices.map((d) => [d.id, d.stale]),
                   [['p', false], ['r', false], ['q', false], ['edge', false], ['old', true]]);
  assert.equal(devices[0].lastSeenAt, now - day);
});

test('by default a tap targets the macs seen within 30 days', () => {
  const records = [
    record('m1', 'mac', 'One', now),
    record('m2', 'mac', 'Two', now - staleAfter),
    record('m1', 'mac', 'One again', now - day),
    record('stale', 'mac', 'Old', now - staleAfter - 0.5),
    record('phone', 'iPhone', 'Phone', now),
    record('future', 'mac', 'Clock ahead', now + day),
  ];
  assert.deepEqual(defaultTargets(records, now), ['m1', 'm2', 'future']);
  assert.deepEqual(defaultTargets([], now), []);
});
