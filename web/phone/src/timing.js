// Times of timed and locked sessions as the page offers and shows them, by the rules the
// computers follow: a session with endsAt blocks until then; a lock lasts until endsAt and at most
// 24 hours from the record's updatedAt. Times in milliseconds since the Unix epoch, the page's
// clock; the records' own scale is converted at the edges (records.js).

import { millisFromReferenceSeconds } from './records.js';

export const maxLockMillis = 24 * 3600 * 1000;
const minute = 60000;

// The choices under the switch: minutes from now, or 'until' a time of day; 'none' blocks with
// no end.
export const durationChoices = { none: null, 30: 30, 60: 60, 120: 120, until: 'until' };

// When a session started now with `choice` ends; undefined without an end or without a time for
// 'until'. An 'until' time that has passed today means tomorrow, in the phone's local time.
export function endForChoice(choice, nowMillis, untilTime) {
  const minutes = durationChoices[choice];
  if (typeof minutes === 'number')
    return nowMillis + minutes * minute;
  if (minutes !== 'until' || !/^\d\d:\d\d$/.test(untilTime ?? ''))
    return undefined;
  const [hours, mins] = untilTime.split(':').map(Number);
  const now = new Date(nowMillis);
  for (let day = 0; day <= 1; ++day) {
    const end = new Date(now.getFullYear(), now.getMonth(), now.getDate() + day, hours, mins);
    if (end.getTime() > nowMillis)
      return end.getTime();
  }
  return undefined;
}

// When a lock of a session started at updatedAtMillis ends.
export function lockEndFor(updatedAtMillis, endMillis) {
  return Math.min(endMillis ?? Infinity, updatedAtMillis + maxLockMillis);
}

// What a published state means now: { blocking, ends, lockedUntil } (ends and lockedUntil in
// milliseconds, undefined when there are none). A state whose end has passed means off.
export function sessionNow(state, nowMillis) {
  if (!state?.isBlocking)
    return { blocking: false };
  const ends = state.endsAt === undefined ? undefined : millisFromReferenceSeconds(state.endsAt);
  if (ends !== undefined && ends <= nowMillis)
    return { blocking: false };
  const lockEnd = state.locked ? lockEndFor(millisFromReferenceSeconds(state.updatedAt), ends) : -Infinity;
  return { blocking: true, ends, lockedUntil: lockEnd > nowMillis ? lockEnd : undefined };
}

// The time left as whole minutes, rounded up: "in 1 min" until the very end.
export function minutesLeft(endMillis, nowMillis) {
  return Math.max(0, Math.ceil((endMillis - nowMillis) / minute));
}

// How long until a text that counts minutes down to one of `moments` changes.
export function nextMinuteTick(moments, nowMillis) {
  const ahead = moments.filter((moment) => moment > nowMillis).map((moment) => (moment - nowMillis) % minute || minute);
  return ahead.length ? Math.min(...ahead) : undefined;
}

// "in 52 min", "in 1 h 5 min" in the page's language (t: texts.js).
export function leftText(t, minutes) {
  if (minutes < 60)
    return t('inMinutes', { minutes });
  const hours = Math.floor(minutes / 60);
  return minutes % 60 ? t('inHoursMinutes', { hours, minutes: minutes % 60 }) : t('inHours', { hours });
}
