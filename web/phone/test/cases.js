// Stored values and what the page makes of them (null: undecodable). The node tests check the
// page's reading against these; the cross-check feeds the same bytes to Vorn's own decoder.

const mac = '{"id":"M","deviceType":"mac","deviceName":"Desk","lastSeenAt":5}';
const announcement = (id, deviceType, deviceName, lastSeenAt) => ({ id, deviceType, deviceName, lastSeenAt });

export const stateCases = [
  ['a well-formed state', '{"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":0}', { isBlocking: true, targetDeviceIDs: ['A'], updatedAt: 0 }],
  ['members in any order, extra members', ' {"updatedAt":3,"v":2,"targetDeviceIDs":[],"isBlocking":false} ', { isBlocking: false, targetDeviceIDs: [], updatedAt: 3 }],
  ['repeated targets counted once', '{"isBlocking":true,"targetDeviceIDs":["A","A"],"updatedAt":1.5}', { isBlocking: true, targetDeviceIDs: ['A'], updatedAt: 1.5 }],
  ['a repeated member: the last counts', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"isBlocking":false}', { isBlocking: false, targetDeviceIDs: [], updatedAt: 1 }],
  ['U+FEFF inside a string', '{"isBlocking":true,"targetDeviceIDs":["\ufeffA"],"updatedAt":1}', { isBlocking: true, targetDeviceIDs: ['\ufeffA'], updatedAt: 1 }],
  ['out of range in a member nobody reads', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"x":1e400}', { isBlocking: true, targetDeviceIDs: [], updatedAt: 1 }],
  ['a byte order mark', '\ufeff{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1}', null],
  ['half a surrogate pair in a member nobody reads', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"x":"\\ud800"}', null],
  ['quotes, a backslash and U+2028 in a target, a negative time', '{"isBlocking":false,"targetDeviceIDs":["W \\"ö\\" \\\\ \u2028"],"updatedAt":-1.25}', { isBlocking: false, targetDeviceIDs: ['W "ö" \\ \u2028'], updatedAt: -1.25 }],
  ['microseconds, targets kept in their order', '{"isBlocking":true,"targetDeviceIDs":["B","A"],"updatedAt":818298123.456789}', { isBlocking: true, targetDeviceIDs: ['B', 'A'], updatedAt: 818298123.456789 }],
  ['a surrogate pair written as escapes', '{"isBlocking":true,"targetDeviceIDs":["\\ud83d\\ude00"],"updatedAt":1}', { isBlocking: true, targetDeviceIDs: ['\u{1f600}'], updatedAt: 1 }],
  ['nesting deeper than 512', `{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"x":${'['.repeat(600)}${']'.repeat(600)}}`, null],
  ['isBlocking as 1', '{"isBlocking":1,"targetDeviceIDs":[],"updatedAt":0}', null],
  ['isBlocking as "true"', '{"isBlocking":"true","targetDeviceIDs":[],"updatedAt":0}', null],
  ['isBlocking null', '{"isBlocking":null,"targetDeviceIDs":[],"updatedAt":0}', null],
  ['targets null', '{"isBlocking":true,"targetDeviceIDs":null,"updatedAt":0}', null],
  ['targets an object', '{"isBlocking":true,"targetDeviceIDs":{},"updatedAt":0}', null],
  ['a target null', '{"isBlocking":true,"targetDeviceIDs":[null],"updatedAt":0}', null],
  ['updatedAt missing', '{"isBlocking":true,"targetDeviceIDs":[]}', null],
  ['updatedAt as ISO text', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":"2026-01-01T00:00:00Z"}', null],
  ['updatedAt out of range', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1e400}', null],
  ['trailing text', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1} x', null],
  ['a timed, locked session', '{"isBlocking":true,"targetDeviceIDs":["A"],"updatedAt":1,"endsAt":3601.5,"locked":true}', { isBlocking: true, targetDeviceIDs: ['A'], updatedAt: 1, endsAt: 3601.5, locked: true }],
  ['locked false, no end', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"locked":false}', { isBlocking: true, targetDeviceIDs: [], updatedAt: 1, locked: false }],
  ['endsAt as a time text', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"endsAt":"17:00"}', null],
  ['endsAt null', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"endsAt":null}', null],
  ['endsAt out of range', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"endsAt":1e400}', null],
  ['locked as 1', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"locked":1}', null],
  ['locked null', '{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":1,"locked":null}', null],
  ['an array', '[{"isBlocking":true,"targetDeviceIDs":[],"updatedAt":0}]', null],
  ['not JSON', 'on', null],
  ['empty', '', null],
];

const held = (heldBack) => `{"M":{"id":"M","deviceType":"mac","deviceName":"D","lastSeenAt":5,"heldBack":${heldBack}}}`;

export const registryCases = [
  ['an empty object', '{}', []],
  ['records in any member order, extras ignored, integer times',
   `{"M":${mac},"P":{"lastSeenAt":7,"x":1,"deviceName":"Phone","deviceType":"iPhone","id":"P"}}`,
   [announcement('M', 'mac', 'Desk', 5), announcement('P', 'iPhone', 'Phone', 7)]],
  ['a record under another name keeps its own id', `{"other":${mac}}`, [announcement('M', 'mac', 'Desk', 5)]],
  ['a member named __proto__', `{"__proto__":${mac}}`, [announcement('M', 'mac', 'Desk', 5)]],
  ['held back while locked', held('{"updatedAt":4,"reason":"locked","until":9,"x":1}'), [{ ...announcement('M', 'mac', 'D', 5), heldBack: { updatedAt: 4, reason: 'locked', until: 9 } }]],
  ['held back unsigned', held('{"updatedAt":4,"reason":"unsigned"}'), [{ ...announcement('M', 'mac', 'D', 5), heldBack: { updatedAt: 4, reason: 'unsigned' } }]],
  ['held back until a time text', held('{"updatedAt":4,"reason":"locked","until":"17:00"}'), [announcement('M', 'mac', 'D', 5)]],
  ['held back as a text', held('"locked"'), [announcement('M', 'mac', 'D', 5)]],
  ['"Mac" with a capital', '{"M":{"id":"M","deviceType":"Mac","deviceName":"D","lastSeenAt":5}}', null],
  ['a kind with a space', '{"M":{"id":"M","deviceType":"mac ","deviceName":"D","lastSeenAt":5}}', null],
  ['an unknown kind', '{"M":{"id":"M","deviceType":"watch","deviceName":"D","lastSeenAt":5}}', null],
  ['a null kind', '{"M":{"id":"M","deviceType":null,"deviceName":"D","lastSeenAt":5}}', null],
  ['lastSeenAt as a date text', '{"M":{"id":"M","deviceType":"mac","deviceName":"D","lastSeenAt":"2026-01-01"}}', null],
  ['a number as the name', '{"M":{"id":"M","deviceType":"mac","deviceName":3,"lastSeenAt":5}}', null],
  ['a missing id', '{"M":{"deviceType":"mac","deviceName":"D","lastSeenAt":5}}', null],
  ['a null record', '{"M":null}', null],
  ['one bad record among good ones', `{"M":${mac},"X":{"id":"X"}}`, null],
  ['an array of records', `[${mac}]`, null],
  ['not JSON', '{"M":', null],
];

const window = (members) => `{"windows":[{"days":["mon"],"start":"09:00","end":"12:00","targetDeviceIDs":["A"]${members}}],"updatedAt":5}`;
const weekday = (more) => ({ days: ['mon'], start: '09:00', end: '12:00', targetDeviceIDs: ['A'], ...more });

export const scheduleCases = [
  ['no windows', '{"windows":[],"updatedAt":5}', { windows: [], updatedAt: 5 }],
  ['a locked window', window(',"locked":true'), { windows: [weekday({ locked: true })], updatedAt: 5 }],
  ['across midnight, days repeated and out of order, extra members',
   '{"x":1,"windows":[{"days":["sun","mon","sun"],"start":"22:30","end":"06:00","targetDeviceIDs":[],"y":2}],"updatedAt":5}',
   { windows: [{ days: ['mon', 'sun'], start: '22:30', end: '06:00', targetDeviceIDs: [] }], updatedAt: 5 }],
  ['no days', window('').replace('["mon"]', '[]'), null],
  ['a day with a capital', window('').replace('"mon"', '"Mon"'), null],
  ['start equal to end', window('').replace('12:00', '09:00'), null],
  ['24:00', window('').replace('12:00', '24:00'), null],
  ['a time without its leading zero', window('').replace('09:00', '9:00'), null],
  ['locked as "yes"', window(',"locked":"yes"'), null],
  ['targets missing', window('').replace(',"targetDeviceIDs":["A"]', ''), null],
  ['one good window, one null', '{"windows":[{"days":["mon"],"start":"09:00","end":"12:00","targetDeviceIDs":[]},null],"updatedAt":5}', null],
  ['updatedAt missing', '{"windows":[]}', null],
];
