import assert from 'node:assert/strict';
import { test } from 'node:test';

import { referenceSecondsFromMillis } from '../src/records.js';
import { translator } from '../src/texts.js';
import { endForChoice, leftText, minutesLeft, nextMinuteTick, sessionNow } from '../src/timing.js';

const minute = 60000;
const hour = 60 * minute;
const at = (day, hours, minutes, seconds = 0) => new Date(2026, 11, day, hours, minutes, seconds).getTime();
const now = at(7, 16, 8, 30);

for (const [choice, until, expected] of [
  ['30', '', now + 30 * minute],
  ['120', '17:00', now + 2 * hour],
  ['none', '17:00', undefined],
  ['until', '17:00', at(7, 17, 0)],
  ['until', '09:00', at(8, 9, 0)], // past today: tomorrow
  ['until', '16:08', at(8, 16, 8)], // this very minute has begun: tomorrow
  ['until', '', undefined],
]) {
  test(`a session started at 16:08:30 "${choice}" ${until} ends at ${expected && new Date(expected).toString()}`,
       () => assert.equal(endForChoice(choice, now, until), expected));
}

const state = (updatedAt, endsAt, locked) => ({
  isBlocking: true, targetDeviceIDs: [], updatedAt: referenceSecondsFromMillis(updatedAt),
  ...(endsAt === undefined ? {} : { endsAt: referenceSecondsFromMillis(endsAt) }), ...(locked ? { locked } : {}),
});
for (const [name, published, expected] of [
  ['30 min, locked', state(now, now + 30 * minute, true), { blocking: true, ends: now + 30 * minute, lockedUntil: now + 30 * minute }],
  ['30 h, locked: the lock ends after 24 h', state(now, now + 30 * hour, true), { blocking: true, ends: now + 30 * hour, lockedUntil: now + 24 * hour }],
  ['locked with no end', state(now, undefined, true), { blocking: true, ends: undefined, lockedUntil: now + 24 * hour }],
  ['a lock of 25 h ago is over', state(now - 25 * hour, now + hour, true), { blocking: true, ends: now + hour, lockedUntil: undefined }],
  ['an end that has passed is off', state(now - hour, now - 1, true), { blocking: false }],
  ['off', { ...state(now, now + hour, true), isBlocking: false }, { blocking: false }],
  ['undecodable', null, { blocking: false }],
]) {
  test(`the published state now: ${name}`, () => assert.deepEqual(sessionNow(published, now), expected));
}

test('the time left counts whole minutes up, in both languages', () => {
  const [en, de] = [translator('en'), translator('de')];
  assert.deepEqual([51.5, 60, 65, 0.01].map((m) => leftText(en, minutesLeft(now + m * minute, now))),
                   ['in 52 min', 'in 1 h', 'in 1 h 5 min', 'in 1 min']);
  assert.equal(leftText(de, 125), 'in 2 Std. 5 Min.');
  assert.equal(nextMinuteTick([now + 90500, now - 5, now + 3 * hour + 20000], now), 20000);
  assert.equal(nextMinuteTick([now - 5], now), undefined);
});
