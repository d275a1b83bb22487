// The page's texts in English and German, chosen by the browser's preferred languages.

const english = {
  title: 'Vorn',
  subtitle: 'Block apps on your computers',
  online: 'Online',
  offline: 'Offline',
  signedOut: 'Not connected',
  connecting: 'Connecting…',
  connectHeading: 'Connect to your broker',
  brokerLabel: 'Broker address',
  brokerHint: 'For example ws://192.168.1.20:8080 or wss://broker.example.org',
  userLabel: 'User',
  passwordLabel: 'Password',
  remember: 'Remember on this phone',
  rememberHint:
    'Keeps the password in this browser on this phone, so the page connects by itself next time. ' +
    'Anyone who can open this browser can then switch blocking. Without the tick, the password ' +
    'is forgotten when you close this tab.',
  connect: 'Connect',
  disconnect: 'Sign out',
  connectedAs: 'Connected as {user} to {broker}',
  phoneKey: 'This phone’s key: {fingerprint}',
  switchLabel: 'Blocking',
  switchOn: 'On',
  switchOff: 'Off',
  switchHintOn: 'Tap to stop blocking on the ticked devices.',
  switchHintOff: 'Tap to start blocking on the ticked devices.',
  stateHeading: 'Published state',
  stateNone: 'Nothing published yet.',
  stateUnreadable: 'The published block state cannot be read. Switching blocking replaces it.',
  stateOn: 'Blocking is on',
  stateOff: 'Blocking is off',
  stateSince: 'since {time}',
  stateTargets: 'For: {devices}',
  stateNoTargets: 'For no device.',
  stateTooLarge: 'The published block state is larger than the page takes ({size}, at most 1 MiB) and is ignored. Switching blocking replaces it.',
  unknownDevice: 'unknown device {id}',
  devicesHeading: 'Devices',
  devicesHint: 'Switching applies to the ticked devices.',
  devicesNone: 'No device has announced itself yet. Start Vorn and vorn-sync on your computer.',
  devicesUnreadable:
    'The device list on the broker cannot be read. Start Vorn on a computer to announce it again.',
  devicesWaiting: 'Waiting for the device list…',
  devicesTooLarge: 'The device list on the broker is larger than the page takes ({size}, at most 1 MiB) and is ignored.',
  lastSeen: 'last seen {time}',
  staleNote: 'not seen for 30 days',
  kind_mac: 'Computer',
  kind_iPhone: 'Phone',
  kind_iPad: 'Tablet',
  sending: 'Sending…',
  sent: 'Sent: blocking {state} for {count} device(s).',
  sentOne: 'Sent: blocking {state} for 1 device.',
  stateWordOn: 'on',
  stateWordOff: 'off',
  errorNoSelection: 'Tick at least one device first.',
  errorOffline: 'Not sent: there is no connection to the broker.',
  errorNoAck: 'Not confirmed: the broker has not answered for 10 seconds. It may still take effect; the switch shows what the broker holds.',
  errorRefused: 'Not sent: the broker refused it ({reason}).',
  errorLost: 'Not confirmed: the connection dropped before the broker answered. It is not sent again; tap once more when the page is online.',
  errorBadUrl: 'The broker address must start with ws:// or wss://.',
  errorPlainFromHttps: 'This page was opened over https: the broker address must start with wss://.',
  errorMissing: 'Fill in the broker address, the user and the password.',
  errorBadUser: 'The user must not contain /, + or #.',
  errorAuth: 'The broker refused the user or password.',
  errorConnect: 'Cannot reach the broker: {reason}',
  announceOn: 'Blocking is now on.',
  announceOff: 'Blocking is now off.',
  reconnected: 'Connected again.',
  wentOffline: 'Offline. Reconnecting by itself…',
  durationLabel: 'For',
  duration_none: 'No end',
  duration_30: '30 min',
  duration_60: '1 h',
  duration_120: '2 h',
  duration_until: 'Until…',
  untilLabel: 'Until',
  lockLabel: 'Lock',
  lockHint: 'A locked session cannot be stopped before its end, not even here; it lasts 24 hours at most.',
  lockNeedsEnd: 'Choose an end to lock a session.',
  confirmLock: 'You can\'t stop this before {time}, not even here',
  confirmLockYes: 'Lock until {time}',
  confirmCancel: 'Cancel',
  errorNoUntil: 'Choose the time to block until.',
  sessionUntil: 'until {time}, {left}',
  switchHintLocked: 'Locked: blocking cannot be stopped before {time}.',
  inMinutes: 'in {minutes} min',
  inHours: 'in {hours} h',
  inHoursMinutes: 'in {hours} h {minutes} min',
  heldLocked: 'locked until {time}',
  heldUnsigned: 'not signed by a paired phone',
  scheduleHeading: 'Schedule',
  scheduleHint: 'Blocks every week at these times, in each computer\'s own time. Switching off pauses a window until its end, unless it is locked.',
  scheduleNone: 'No windows yet.',
  scheduleUnreadable: 'The schedule on the broker cannot be read. Adding a window replaces it.',
  scheduleAddHeading: 'Add a window',
  scheduleDays: 'Days',
  scheduleFrom: 'From',
  scheduleTo: 'To',
  scheduleLock: 'Locked: cannot be paused',
  scheduleFor: 'For the ticked devices.',
  scheduleAdd: 'Add window',
  scheduleRemove: 'Remove',
  scheduleRemoveLabel: 'Remove {window}',
  scheduleChange: 'Change',
  scheduleChangeLabel: 'Change {window}',
  scheduleChangeHeading: 'Change the window',
  scheduleSave: 'Save window',
  scheduleLocked: 'locked',
  scheduleNoTargets: 'no device',
  scheduleErrorDays: 'Choose at least one day.',
  scheduleErrorTimes: 'Choose a start and an end that differ.',
  scheduleSent: 'Schedule sent.',
};

const german = {
  title: 'Vorn',
  subtitle: 'Apps auf deinen Computern blockieren',
  online: 'Online',
  offline: 'Offline',
  signedOut: 'Nicht verbunden',
  connecting: 'Verbinde…',
  connectHeading: 'Mit deinem Broker verbinden',
  brokerLabel: 'Broker-Adresse',
  brokerHint: 'Zum Beispiel ws://192.168.1.20:8080 oder wss://broker.example.org',
  userLabel: 'Benutzer',
  passwordLabel: 'Passwort',
  remember: 'Auf diesem Telefon merken',
  rememberHint:
    'Speichert das Passwort in diesem Browser auf diesem Telefon, damit sich die Seite beim nächsten ' +
    'Mal selbst verbindet. Wer diesen Browser öffnen kann, kann dann das Blockieren schalten. Ohne ' +
    'Haken wird das Passwort vergessen, sobald du diesen Tab schließt.',
  connect: 'Verbinden',
  disconnect: 'Abmelden',
  connectedAs: 'Verbunden als {user} mit {broker}',
  phoneKey: 'Schlüssel dieses Telefons: {fingerprint}',
  switchLabel: 'Blockieren',
  switchOn: 'An',
  switchOff: 'Aus',
  switchHintOn: 'Tippen, um das Blockieren auf den angehakten Geräten zu beenden.',
  switchHintOff: 'Tippen, um das Blockieren auf den angehakten Geräten zu starten.',
  stateHeading: 'Veröffentlichter Zustand',
  stateNone: 'Noch nichts veröffentlicht.',
  stateUnreadable:
    'Der veröffentlichte Zustand ist nicht lesbar. Schalten ersetzt ihn.',
  stateOn: 'Blockieren ist an',
  stateOff: 'Blockieren ist aus',
  stateSince: 'seit {time}',
  stateTargets: 'Für: {devices}',
  stateNoTargets: 'Für kein Gerät.',
  stateTooLarge: 'Der veröffentlichte Zustand ist größer, als die Seite annimmt ({size}, höchstens 1 MiB), und wird übergangen. Schalten ersetzt ihn.',
  unknownDevice: 'unbekanntes Gerät {id}',
  devicesHeading: 'Geräte',
  devicesHint: 'Das Schalten gilt für die angehakten Geräte.',
  devicesNone:
    'Noch hat sich kein Gerät gemeldet. Starte Vorn und vorn-sync auf deinem Computer.',
  devicesUnreadable:
    'Die Geräteliste auf dem Broker ist nicht lesbar. Starte Vorn auf einem Computer, damit er sich neu meldet.',
  devicesWaiting: 'Warte auf die Geräteliste…',
  devicesTooLarge: 'Die Geräteliste auf dem Broker ist größer, als die Seite annimmt ({size}, höchstens 1 MiB), und wird übergangen.',
  lastSeen: 'zuletzt gesehen {time}',
  staleNote: 'seit 30 Tagen nicht gesehen',
  kind_mac: 'Computer',
  kind_iPhone: 'Telefon',
  kind_iPad: 'Tablet',
  sending: 'Sende…',
  sent: 'Gesendet: Blockieren {state} für {count} Geräte.',
  sentOne: 'Gesendet: Blockieren {state} für 1 Gerät.',
  stateWordOn: 'an',
  stateWordOff: 'aus',
  errorNoSelection: 'Hake zuerst mindestens ein Gerät an.',
  errorOffline: 'Nicht gesendet: keine Verbindung zum Broker.',
  errorNoAck:
    'Nicht bestätigt: der Broker antwortet seit 10 Sekunden nicht. Es kann noch wirken; der Schalter zeigt, was der Broker hält.',
  errorRefused: 'Nicht gesendet: der Broker hat abgelehnt ({reason}).',
  errorLost: 'Nicht bestätigt: die Verbindung brach ab, bevor der Broker antwortete. Es wird nicht erneut gesendet; tippe noch einmal, sobald die Seite online ist.',
  errorBadUrl: 'Die Broker-Adresse muss mit ws:// oder wss:// beginnen.',
  errorPlainFromHttps: 'Diese Seite kam über https: die Broker-Adresse muss mit wss:// beginnen.',
  errorMissing: 'Fülle Broker-Adresse, Benutzer und Passwort aus.',
  errorBadUser: 'Der Benutzer darf weder /, + noch # enthalten.',
  errorAuth: 'Der Broker hat Benutzer oder Passwort abgelehnt.',
  errorConnect: 'Broker nicht erreichbar: {reason}',
  announceOn: 'Blockieren ist jetzt an.',
  announceOff: 'Blockieren ist jetzt aus.',
  reconnected: 'Wieder verbunden.',
  wentOffline: 'Offline. Verbinde mich selbst neu…',
  durationLabel: 'Für',
  duration_none: 'Offen',
  duration_30: '30 Min.',
  duration_60: '1 Std.',
  duration_120: '2 Std.',
  duration_until: 'Bis…',
  untilLabel: 'Bis',
  lockLabel: 'Sperren',
  lockHint: 'Eine gesperrte Sitzung lässt sich vor ihrem Ende nicht beenden, auch nicht hier; sie dauert höchstens 24 Stunden.',
  lockNeedsEnd: 'Wähle ein Ende, um eine Sitzung zu sperren.',
  confirmLock: 'Du kannst das vor {time} nicht beenden, auch nicht hier',
  confirmLockYes: 'Sperren bis {time}',
  confirmCancel: 'Abbrechen',
  errorNoUntil: 'Wähle die Uhrzeit, bis zu der blockiert wird.',
  sessionUntil: 'bis {time}, {left}',
  switchHintLocked: 'Gesperrt: Blockieren lässt sich vor {time} nicht beenden.',
  inMinutes: 'in {minutes} Min.',
  inHours: 'in {hours} Std.',
  inHoursMinutes: 'in {hours} Std. {minutes} Min.',
  heldLocked: 'gesperrt bis {time}',
  heldUnsigned: 'nicht von einem gekoppelten Telefon signiert',
  scheduleHeading: 'Zeitplan',
  scheduleHint: 'Blockiert jede Woche zu diesen Zeiten, in der Uhrzeit des jeweiligen Computers. Ausschalten pausiert ein Zeitfenster bis zu seinem Ende, außer es ist gesperrt.',
  scheduleNone: 'Noch keine Zeitfenster.',
  scheduleUnreadable: 'Der Zeitplan auf dem Broker ist nicht lesbar. Ein neues Zeitfenster ersetzt ihn.',
  scheduleAddHeading: 'Zeitfenster hinzufügen',
  scheduleDays: 'Tage',
  scheduleFrom: 'Von',
  scheduleTo: 'Bis',
  scheduleLock: 'Gesperrt: nicht pausierbar',
  scheduleFor: 'Für die angehakten Geräte.',
  scheduleAdd: 'Hinzufügen',
  scheduleRemove: 'Entfernen',
  scheduleRemoveLabel: '{window} entfernen',
  scheduleChange: 'Ändern',
  scheduleChangeLabel: '{window} ändern',
  scheduleChangeHeading: 'Zeitfenster ändern',
  scheduleSave: 'Speichern',
  scheduleLocked: 'gesperrt',
  scheduleNoTargets: 'kein Gerät',
  scheduleErrorDays: 'Wähle mindestens einen Tag.',
  scheduleErrorTimes: 'Wähle Beginn und Ende verschieden.',
  scheduleSent: 'Zeitplan gesendet.',
};

export const catalogues = { en: english, de: german };

export function chooseLanguage(preferred) {
  for (const tag of preferred ?? []) {
    const base = String(tag).toLowerCase().split('-')[0];
    if (base in catalogues)
      return base;
  }
  return 'en';
}

export function translator(language) {
  const catalogue = catalogues[language] ?? english;
  return (key, values = {}) => {
    const text = catalogue[key] ?? english[key] ?? key;
    return text.replace(/\{(\w+)\}/g, (match, name) => (name in values ? String(values[name]) : match));
  };
}

// "5 minutes ago", "vor 5 Minuten", "in 2 hours" for a clock that runs ahead.
const relativeFormats = new Map(); // one per language: making one costs more than using it

export function relativeTime(language, thenMillis, nowMillis) {
  if (!relativeFormats.has(language))
    relativeFormats.set(language, new Intl.RelativeTimeFormat(language, { numeric: 'auto' }));
  const format = relativeFormats.get(language);
  if (!Number.isFinite(thenMillis - nowMillis))
    return '—';
  const seconds = (thenMillis - nowMillis) / 1000;
  const steps = [[60, 'second'], [60, 'minute'], [24, 'hour'], [30, 'day'], [12, 'month']];
  let value = seconds;
  for (const [size, unit] of steps) {
    if (Math.abs(value) < size)
      return format.format(Math.round(value), unit);
    value /= size;
  }
  return format.format(Math.round(value), 'year');
}
