// The page's records against Vorn's own decoder (`vorn-phone state|devices --json` over a
// temporary cloud folder): what the page writes, Vorn reads as the same state, and on every stored
// value of the node tests' tables both readers agree on what decodes.

import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';

import { decodeBlockState, decodeRegistry, decodeSchedule, encodeBlockStateBytes, encodeSchedule } from '../src/records.js';
import { registryCases, scheduleCases, stateCases } from './cases.js';

const vornPhone = process.env.VORN_PHONE ?? new URL('../../../build/tools/vorn-phone', import.meta.url).pathname;
const skip = existsSync(vornPhone) ? false : `vorn-phone not built at ${vornPhone} (set VORN_PHONE)`;
const cloud = mkdtempSync(join(tmpdir(), 'vorn-page-crosscheck-'));
after(() => rmSync(cloud, { recursive: true, force: true }));

// What Vorn reads from the bytes, or null when it finds them undecodable.
function vornReads(key, bytes) {
  writeFileSync(join(cloud, key), bytes, { mode: 0o600 });
  const command = { syncedBlockState: ['state'], blockSchedule: ['schedule', 'list'] }[key] ?? ['devices'];
  const run = spawnSync(vornPhone, [...command, '--json'], { env: { ...process.env, VORN_CLOUD_DIR: cloud }, encoding: 'utf8' });
  assert.ok(run.status === 0 || run.status === 1, `vorn-phone failed: ${run.stderr}`);
  return run.status === 0 ? JSON.parse(run.stdout) : null;
}

test('a state the page writes is the state Vorn reads', { skip }, () => {
  for (const state of [
    { isBlocking: true, targetDeviceIDs: ['6F1C9A7E-0000-4000-8000-00000000000B', '6F1C9A7E-0000-4000-8000-00000000000A', '6F1C9A7E-0000-4000-8000-00000000000B'], updatedAt: 818298123.456789 },
    { isBlocking: false, targetDeviceIDs: ['Wohnzimmer "ö" \\ \u2028 \u{1f600}'], updatedAt: 0 },
    { isBlocking: true, targetDeviceIDs: [], updatedAt: -1.25 },
    { isBlocking: true, targetDeviceIDs: ['A'], updatedAt: 10, endsAt: 5410.5, locked: true },
    { isBlocking: false, targetDeviceIDs: ['A'], updatedAt: 10, locked: false },
  ]) {
    const read = vornReads('syncedBlockState', encodeBlockStateBytes(state));
    assert.deepEqual(read, { ...state, targetDeviceIDs: [...new Set(state.targetDeviceIDs)].sort() });
  }
});

for (const [key, cases, decode, summary] of [
  ['syncedBlockState', stateCases, decodeBlockState, ({ isBlocking, endsAt, locked }) => ({ isBlocking, endsAt, locked })],
  ['deviceRegistry', registryCases, decodeRegistry, (records) => records.map((record) => record.id).sort()],
  // What the page writes back of a schedule is what Vorn writes.
  ['blockSchedule', scheduleCases, decodeSchedule, (schedule) => JSON.parse(encodeSchedule(schedule))],
]) {
  test(`the page and Vorn agree on which ${key} values decode`, { skip }, () => {
    for (const [name, text] of cases) {
      const bytes = new TextEncoder().encode(text);
      const page = decode(bytes);
      const vorn = vornReads(key, bytes);
      assert.equal(page !== null, vorn !== null, `${name}: the page read ${JSON.stringify(page)}, Vorn ${JSON.stringify(vorn)}`);
      if (page)
        assert.deepEqual(summary(page), summary(vorn), name);
    }
  });
}
