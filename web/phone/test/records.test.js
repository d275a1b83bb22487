import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  decodeBlockState, decodeRegistry, decodeSchedule, defaultTargets, devicesForDisplay, encodeBlockState,
  referenceSecondsFromMillis, staleAfter,
} from '../src/records.js';
import { registryCases, scheduleCases, stateCases } from './cases.js';

const day = 86400;
const now = 800000000;
const record = (id, deviceType, deviceName, lastSeenAt) => ({ id, deviceType, deviceName, lastSeenAt });
const bytes = (text) => new TextEncoder().encode(text);

test('updatedAt counts seconds since 2001-01-01 UTC, with fraction', () => {
  assert.equal(referenceSecondsFromMillis(Date.UTC(2001, 0, 1)), 0);
  assert.equal(referenceSecondsFromMillis(Date.UTC(2026, 11, 7, 1, 2, 3, 250)), 818298123.25);
});

// What the block state is written as (members in order, targets once and sorted), or TypeError.
for (const [name, state, written] of [
  ['targets repeated, unsorted', { isBlocking: true, targetDeviceIDs: ['B', 'A', 'B', 'A'], updatedAt: 12.5 },
   '{"isBlocking":true,"targetDeviceIDs":["A","B"],"updatedAt":12.5}'],
  ['targets as a set', { isBlocking: false, targetDeviceIDs: new Set(['x']), updatedAt: 0 }, '{"isBlocking":false,"targetDeviceIDs":["x"],"updatedAt":0}'],
  ['isBlocking as a number', { isBlocking: 1, targetDeviceIDs: [], updatedAt: 0 }, TypeError],
  ['a target that is not a string', { isBlocking: true, targetDeviceIDs: [7], updatedAt: 0 }, TypeError],
  ['a target with half a surrogate pair', { isBlocking: true, targetDeviceIDs: ['A\ud800'], updatedAt: 0 }, TypeError],
  ['targets missing', { isBlocking: true, updatedAt: 0 }, TypeError],
  ['updatedAt not finite', { isBlocking: true, targetDeviceIDs: [], updatedAt: NaN }, TypeError],
  ['updatedAt as a date', { isBlocking: true, targetDeviceIDs: [], updatedAt: new Date() }, TypeError],
]) {
  test(`writing the block state: ${name}`, () => (written === TypeError ? assert.throws(() => encodeBlockState(state), TypeError)
                                                  : assert.equal(encodeBlockState(state), written)));
}

// What the page writes of each decodable value, Vorn reads as the same (crosscheck.test.js).
for (const [what, cases, decode] of [['block state', stateCases, decodeBlockState], ['registry', registryCases, decodeRegistry],
                                     ['schedule', scheduleCases, decodeSchedule]]) {
  for (const [name, text, expected] of cases)
    test(`reading the ${what}: ${name}`, () => assert.deepEqual(decode(bytes(text)), expected));
}

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
