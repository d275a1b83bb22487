// The page's records against Vorn's own decoder: what the page writes, `vorn-phone state --json`
// reads back as the same state, and on a table of odd values both readers agree on what decodes.

import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { decodeBlockState, decodeRegistry, encodeBlockStateBytes } from '../src/records.js';

const vornPhone = process.env.VORN_PHONE ?? new URL('../../../build/tools/vorn-phone', import.meta.url).pathname;
const missing = existsSync(vornPhone) ? false : `vorn-phone not built at ${vornPhone} (set VORN_PHONE)`;
let cloud;

before(() => { cloud = mkdtempSync(join(tmpdir(), 'vorn-phone-page-')); });
after(() => rmSync(cloud, { recursive: true, force: true }));

function vornReads(command, key, bytes) {
  writeFileSync(join(cloud, key), bytes, { mode: 0o600 });
  const run = spawnSync(vornPhone, [command, '--json'], { env: { ...process.env, VORN_CLOUD_DIR: cloud }, encoding: 'utf8' });
  assert.ok(run.status === 0 || run.status === 1, `vorn-phone failed: ${run.stderr}`);
  return run.status === 0 ? JSON.parse(run.stdout) : null;
}

test('a state the page writes is the state Vorn reads', { skip: missing }, () => {
  for (const state of [
    { isBlocking: true, targetDeviceIDs: ['6F1C9A7E-0000-4000-8000-00000000000B', '6F1C9A7E-0000-4000-8000-00000000000A', '6F1C9A7E-0000-4000-8000-00000000000B'], updatedAt: 818298123.456789 },
    { isBlocking: false, targetDeviceIDs: ['Wohnzimmer-Rechner "ö" \\ \u2028'], updatedAt: 0 },
    { isBlocking: true, targetDeviceIDs: [], updatedAt: -1.25 },
  ]) {
    const read = vornReads('state', 'syncedBlockState', encodeBlockStateBytes(state));
    assert.deepEqual(read, { ...state, targetDeviceIDs: [...new Set(state.targetDeviceIDs)].sort() });
  }
});

test('the page and Vorn agree on which values decode', { skip: missing }, () => {
  const states = [
    '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1}',
    '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"isBlocking":false}',
    '{"isBlocking":null,"targetDeviceIDs":[],"updatedAt":1}',
    '{"isBlocking":true,"targetDeviceIDs":{},"updatedAt":1}',
    '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1e400}',
    '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1} x',
    '\ufeff{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1}',
    '{"isBlocking":true,"targetDeviceIDs":["\\ud800"],"updatedAt":1}',
  ];
  for (const text of states) {
    const bytes = new TextEncoder().encode(text);
    const page = decodeBlockState(bytes);
    const vorn = vornReads('state', 'syncedBlockState', bytes);
    assert.equal(page !== null, vorn !== null, `state ${text}: page ${JSON.stringify(page)}, vorn ${JSON.stringify(vorn)}`);
    if (page)
      assert.equal(page.isBlocking, vorn.isBlocking, text);
  }
  const registries = [
    '{"a":{"id":"a","deviceType":"mac","deviceName":"A","lastSeenAt":1},"__proto__":{"id":"b","deviceType":"iPad","deviceName":"B","lastSeenAt":2}}',
    '{"a":{"id":"a","deviceType":"mac","deviceName":"A","lastSeenAt":-1e-300}}',
    '{"a":{"id":"a","deviceType":"mac","deviceName":"A","lastSeenAt":1,"deviceType":"pc"}}',
    '{"a":{"id":"a","deviceType":"mac ","deviceName":"A","lastSeenAt":1}}',
    '{"a":null}',
  ];
  for (const text of registries) {
    const bytes = new TextEncoder().encode(text);
    const page = decodeRegistry(bytes);
    const vorn = vornReads('devices', 'deviceRegistry', bytes);
    assert.equal(page !== null, vorn !== null, `registry ${text}: page ${JSON.stringify(page)}, vorn ${JSON.stringify(vorn)}`);
    if (page)
      assert.deepEqual(page.map((r) => r.id).sort(), vorn.map((r) => r.id).sort(), text);
  }
});
