// The records the phone shares with the computers through the broker, read and written exactly
// as Vorn's own decoder expects them: "syncedBlockState" and "blockSchedule" (written here) and
// "deviceRegistry" (read here). Every member is required and must have its JSON type; a value
// that breaks a rule is undecodable as a whole, and the page then says so instead of guessing.

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the records' reference date.
export const referenceDateUnixSeconds = 978307200;
// An announcement older than this (seconds) is stale: the device is probably gone.
export const staleAfter = 2592000;
export const deviceTypes = ['mac', 'iPhone', 'iPad'];

export function referenceSecondsFromMillis(unixMillis) {
  return unixMillis / 1000 - referenceDateUnixSeconds;
}

export function millisFromReferenceSeconds(seconds) {
  return (seconds + referenceDateUnixSeconds) * 1000;
}

const maxDepth = 512;
const loneSurrogate = /[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/;

// Whether a parsed value stays within what Vorn's strict reader takes: no string (member names
// included) with half a surrogate pair, nesting no deeper than maxDepth. Strings are looked at
// only when the text escapes a surrogate (decoded UTF-8 holds none).
function withinReader(value, strings, depth = 0) {
  if (typeof value === 'string')
    return !strings || !loneSurrogate.test(value);
  if (typeof value !== 'object' || value === null)
    return true;
  if (depth >= maxDepth)
    return false;
  for (const key in value) {
    if ((strings && loneSurrogate.test(key)) || !withinReader(value[key], strings, depth + 1))
      return false;
  }
  return true;
}

// Bytes (or text) to a JSON value; undefined when the bytes are not what Vorn's strict reader
// takes: UTF-8 JSON text, no byte order mark (JSON.parse refuses the U+FEFF that stays in).
function parseJson(value) {
  let text = value;
  if (typeof value !== 'string') {
    try {
      text = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true }).decode(value);
    } catch {
      return undefined;
    }
  }
  try {
    const parsed = JSON.parse(text);
    return withinReader(parsed, typeof value === 'string' || /\\u[dD][89a-fA-F]/.test(text)) ? parsed : undefined;
  } catch {
    return undefined;
  }
}

function isObject(value) {
  return typeof value === 'object' && value !== null && !Array.isArray(value);
}

function has(object, key) {
  return Object.prototype.hasOwnProperty.call(object, key);
}

// A member of the given JSON type; numbers must be finite (Vorn's parser refuses 1e400).
function member(object, key, type) {
  if (!has(object, key) || typeof object[key] !== type)
    return undefined;
  if (type === 'number' && !Number.isFinite(object[key]))
    return undefined;
  return object[key];
}

// The block state as JSON text, members in the order the records define, targets without
// duplicates (sorted, so one state always gives the same bytes). endsAt (same time scale as
// updatedAt) and locked are optional and written only when given.
export function encodeBlockState({ isBlocking, targetDeviceIDs, updatedAt, endsAt, locked }) {
  if (typeof isBlocking !== 'boolean')
    throw new TypeError('isBlocking must be a boolean');
  if (!Array.isArray(targetDeviceIDs) && !(targetDeviceIDs instanceof Set))
    throw new TypeError('targetDeviceIDs must be an array or a set of strings');
  const targets = [...new Set(targetDeviceIDs)];
  if (targets.some((id) => typeof id !== 'string' || loneSurrogate.test(id)))
    throw new TypeError('targetDeviceIDs must hold well-formed strings only');
  targets.sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
  if (typeof updatedAt !== 'number' || !Number.isFinite(updatedAt))
    throw new TypeError('updatedAt must be a finite number');
  const state = { isBlocking, targetDeviceIDs: targets, updatedAt };
  if (endsAt !== undefined) {
    if (typeof endsAt !== 'number' || !Number.isFinite(endsAt))
      throw new TypeError('endsAt must be a finite number');
    state.endsAt = endsAt;
  }
  if (locked !== undefined) {
    if (typeof locked !== 'boolean')
      throw new TypeError('locked must be a boolean');
    state.locked = locked;
  }
  return JSON.stringify(state);
}

export function encodeBlockStateBytes(state) {
  return new TextEncoder().encode(encodeBlockState(state));
}

// The published block state, or null when it is undecodable.
export function decodeBlockState(bytes) {
  const object = parseJson(bytes);
  if (!isObject(object))
    return null;
  const isBlocking = member(object, 'isBlocking', 'boolean');
  const targets = has(object, 'targetDeviceIDs') ? object.targetDeviceIDs : undefined;
  const updatedAt = member(object, 'updatedAt', 'number');
  if (isBlocking === undefined || !Array.isArray(targets) || updatedAt === undefined)
    return null;
  if (targets.some((id) => typeof id !== 'string'))
    return null;
  const state = { isBlocking, targetDeviceIDs: [...new Set(targets)], updatedAt };
  // Optional, but a present one of the wrong type spoils the record as for the others.
  for (const [key, type] of [['endsAt', 'number'], ['locked', 'boolean']]) {
    if (!has(object, key))
      continue;
    state[key] = member(object, key, type);
    if (state[key] === undefined)
      return null;
  }
  return state;
}

function decodeAnnouncement(value) {
  if (!isObject(value))
    return null;
  const id = member(value, 'id', 'string');
  const deviceType = member(value, 'deviceType', 'string');
  const deviceName = member(value, 'deviceName', 'string');
  const lastSeenAt = member(value, 'lastSeenAt', 'number');
  if (id === undefined || deviceName === undefined || lastSeenAt === undefined)
    return null;
  if (!deviceTypes.includes(deviceType))
    return null;
  const record = { id, deviceType, deviceName, lastSeenAt };
  // Optional: why the device did not apply the latest block state. One that is not well formed
  // is left out; it never spoils the record.
  const held = isObject(value.heldBack) ? value.heldBack : {};
  const until = member(held, 'until', 'number');
  if (member(held, 'updatedAt', 'number') !== undefined && member(held, 'reason', 'string')
      && (until !== undefined || !has(held, 'until')))
    record.heldBack = { updatedAt: held.updatedAt, reason: held.reason, ...(until === undefined ? {} : { until }) };
  return record;
}

// The registry's announcements as an array, or null when the value is undecodable: it is all or
// nothing, one bad record spoils the whole value.
export function decodeRegistry(bytes) {
  const object = parseJson(bytes);
  if (!isObject(object))
    return null;
  const records = [];
  for (const key of Object.keys(object)) {
    const record = decodeAnnouncement(object[key]);
    if (!record)
      return null;
    records.push(record);
  }
  return records;
}

export function isStale(record, nowSeconds) {
  return record.lastSeenAt < nowSeconds - staleAfter;
}

// What the page lists: one entry per device identifier (the latest announcement wins), devices
// seen within 30 days first, then by name and identifier.
export function devicesForDisplay(records, nowSeconds) {
  const latest = new Map();
  for (const record of records) {
    const known = latest.get(record.id);
    if (!known || record.lastSeenAt > known.lastSeenAt)
      latest.set(record.id, record);
  }
  const devices = [...latest.values()].map((record) => ({
    ...record,
    stale: isStale(record, nowSeconds),
  }));
  const collator = new Intl.Collator(undefined, { sensitivity: 'base', numeric: true });
  devices.sort((a, b) => (a.stale - b.stale) || collator.compare(a.deviceName, b.deviceName)
                         || (a.id < b.id ? -1 : a.id > b.id ? 1 : 0));
  return devices;
}

// The computers a tap targets when the user chose nothing: every mac seen within 30 days.
export function defaultTargets(records, nowSeconds) {
  return [...new Set(records.filter((record) => record.deviceType === 'mac'
                                                && !isStale(record, nowSeconds))
                            .map((record) => record.id))];
}

// "blockSchedule": weekly windows in each computer's own local time, { windows, updatedAt }, each
// window { days (names, "mon" … "sun"), start and end ("HH:MM", not equal; an end at or before
// the start lies on the next day), targetDeviceIDs, locked (optional) }. Read as strictly as
// Vorn reads it: one bad window spoils the record.
export const dayNames = ['mon', 'tue', 'wed', 'thu', 'fri', 'sat', 'sun'];
const clockTime = /^([01]\d|2[0-3]):[0-5]\d$/;

function decodeWindow(value) {
  if (!isObject(value))
    return null;
  const { days, start, end, targetDeviceIDs } = value;
  if (!Array.isArray(days) || days.length === 0 || !days.every((day) => dayNames.includes(day)))
    return null;
  if (![start, end].every((time) => typeof time === 'string' && clockTime.test(time)) || start === end)
    return null;
  if (!Array.isArray(targetDeviceIDs) || targetDeviceIDs.some((id) => typeof id !== 'string'))
    return null;
  const window = { days: dayNames.filter((day) => days.includes(day)), start, end, targetDeviceIDs: [...new Set(targetDeviceIDs)] };
  if (has(value, 'locked')) {
    if (typeof value.locked !== 'boolean')
      return null;
    window.locked = value.locked;
  }
  return window;
}

// The schedule, or null when it is undecodable.
export function decodeSchedule(bytes) {
  const object = parseJson(bytes);
  if (!isObject(object) || !Array.isArray(object.windows) || member(object, 'updatedAt', 'number') === undefined)
    return null;
  const windows = object.windows.map(decodeWindow);
  return windows.includes(null) ? null : { windows, updatedAt: object.updatedAt };
}

// The schedule as Vorn writes it: days in week order, targets sorted, each once.
export function encodeSchedule({ windows, updatedAt }) {
  if (typeof updatedAt !== 'number' || !Number.isFinite(updatedAt))
    throw new TypeError('updatedAt must be a finite number');
  const written = windows.map((window) => {
    const checked = decodeWindow(window);
    if (!checked)
      throw new TypeError(`not a schedule window: ${JSON.stringify(window)}`);
    if (checked.targetDeviceIDs.some((id) => loneSurrogate.test(id)))
      throw new TypeError('targetDeviceIDs must hold well-formed strings only');
    checked.targetDeviceIDs.sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
    return checked;
  });
  return JSON.stringify({ windows: written, updatedAt });
}
