// The page's records against Vorn's own decoder (`vorn-phone state|devices --json` over a
// temporary cloud folder): on every stored value of the node tests' tables both readers agree on
// what decodes and what it holds, and what the page writes of it Vorn reads as the same.

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

for (const [key, cases, decode, summary, write] of [
  ['syncedBlockState', stateCases, decodeBlockState, (state) => ({ ...state, targetDeviceIDs: [...state.targetDeviceIDs].sort() }),
   encodeBlockStateBytes],
  ['deviceRegistry', registryCases, decodeRegistry, (records) => records.map((record) => record.id).sort()],
  // What the page writes back of a schedule is what Vorn writes.
  ['blockSchedule', scheduleCases, decodeSchedule, (schedule) => JSON.parse(encodeSchedule(schedule)), encodeSchedule],
]) {
  test(`the page and Vorn agree on the ${key} values`, { skip }, () => {
    for (const [name, text] of cases) {
      const bytes = new TextEncoder().encode(text);
      const page = decode(bytes);
      const vorn = vornReads(key, bytes);
      assert.equal(page !== null, vorn !== null, `${name}: the page read ${JSON.stringify(page)}, Vorn ${JSON.stringify(vorn)}`);
      if (page)
        assert.deepEqual(summary(page), summary(vorn), name);
      if (page && write)
        assert.deepEqual(vornReads(key, write(page)), vorn, `${name}, as the page writes it`);
    }
  });
}
