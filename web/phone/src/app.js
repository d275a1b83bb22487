// The phone page: signs in to the user's MQTT 5 broker over WebSockets, follows the
// "deviceRegistry" and "syncedBlockState" topics live, and publishes a new block state when the
// switch is tapped. The MQTT client is the `mqtt` package's browser build (global `mqtt`).

import {
  decodeBlockState, decodeRegistry, defaultTargets, devicesForDisplay, encodeBlockStateBytes,
  millisFromReferenceSeconds, referenceSecondsFromMillis,
} from './records.js';
import { chooseLanguage, relativeTime, translator } from './texts.js';

const preferred = navigator.languages?.length ? navigator.languages : [navigator.language];
const language = chooseLanguage(preferred);
// Times and dates follow the phone's own region when it speaks the page's language (en-GB: 24 h).
const locale = preferred.find((tag) => String(tag).toLowerCase().split('-')[0] === language) ?? language;
const t = translator(language);
const ackTimeoutMs = 10000;
const storage = { broker: 'vorn.broker', user: 'vorn.user', password: 'vorn.password' };

const $ = (id) => document.getElementById(id);
const view = {
  login: $('login'), form: $('login-form'), broker: $('broker'), user: $('user'),
  password: $('password'), remember: $('remember'), loginError: $('login-error'),
  control: $('control'), link: $('link'), linkText: $('link-text'), toggle: $('switch'),
  switchWord: $('switch-word'), switchHint: $('switch-hint'), result: $('send-result'),
  stateLine: $('state-line'), stateTargets: $('state-targets'), devices: $('devices'),
  devicesMessage: $('devices-message'), devicesHint: $('devices-hint'), account: $('account'),
  signOut: $('sign-out'), announcer: $('announcer'), connectButton: $('connect'),
};

const page = {
  client: null,
  settings: null, // { broker, user }
  everConnected: false,
  interactive: false,
  link: 'signedOut',
  registry: undefined, // undefined: not heard yet; null: undecodable; else the records
  published: undefined, // undefined: nothing published; null: undecodable; else the state
  choices: new Map(), // device id -> ticked, for devices the user ticked or unticked by hand
  sending: false,
  defaults: new Set(), // what is ticked when the user chose nothing: recent macs
};

function nowSeconds() {
  return referenceSecondsFromMillis(Date.now());
}

function sameBytes(a, b) {
  return !!b && a.length === b.length && a.every((byte, i) => byte === b[i]);
}

function kvTopic(user, key) {
  return `vorn/${user}/kv/${key}`;
}

// ---- texts and small helpers -------------------------------------------------------------------

function applyStaticTexts() {
  document.documentElement.lang = language;
  for (const element of document.querySelectorAll('[data-text]'))
    element.textContent = t(element.dataset.text);
  view.control.setAttribute('aria-label', t('title'));
}

function announce(text) {
  // Re-setting the same text would not be read again; clear first.
  view.announcer.textContent = '';
  setTimeout(() => { view.announcer.textContent = text; }, 50);
}

function formatWhen(seconds) {
  const millis = millisFromReferenceSeconds(seconds);
  const date = new Date(millis);
  if (Number.isNaN(date.getTime()))
    return '—';
  const sameDay = date.toDateString() === new Date().toDateString();
  const absolute = new Intl.DateTimeFormat(locale, sameDay ? { timeStyle: 'short' }
                                                             : { dateStyle: 'medium', timeStyle: 'short' })
                       .format(date);
  return `${absolute} (${relativeTime(locale, millis, Date.now())})`;
}

const glyphPaths = {
  mac: 'M4 5h16v10H4z M2 19h20 M9 15l-1 4 M15 15l1 4',
  iPhone: 'M8 2h8a1 1 0 0 1 1 1v18a1 1 0 0 1-1 1H8a1 1 0 0 1-1-1V3a1 1 0 0 1 1-1z M11 19h2',
  iPad: 'M5 2h14a1 1 0 0 1 1 1v18a1 1 0 0 1-1 1H5a1 1 0 0 1-1-1V3a1 1 0 0 1 1-1z M11 19h2',
};

function glyph(deviceType) {
  const svg = document.createElementNS('http://www.w3.org/2000/svg', 'svg');
  svg.setAttribute('viewBox', '0 0 24 24');
  svg.setAttribute('class', 'glyph');
  svg.setAttribute('aria-hidden', 'true');
  const path = document.createElementNS('http://www.w3.org/2000/svg', 'path');
  path.setAttribute('d', glyphPaths[deviceType]);
  svg.append(path);
  return svg;
}

// ---- rendering ---------------------------------------------------------------------------------

function isTicked(device) {
  return page.choices.get(device.id) ?? page.defaults.has(device.id);
}

function selectedTargets() {
  if (!Array.isArray(page.registry))
    return [];
  return devicesForDisplay(page.registry, nowSeconds()).filter(isTicked).map((device) => device.id);
}

function renderLink() {
  view.link.dataset.link = page.link;
  view.linkText.textContent = t(page.link);
}

function renderSwitch() {
  const on = page.published?.isBlocking === true;
  document.body.dataset.blocking = String(on);
  view.toggle.setAttribute('aria-checked', String(on));
  view.toggle.setAttribute('aria-busy', String(page.sending));
  view.switchWord.textContent = on ? t('switchOn') : t('switchOff');
  view.switchHint.textContent = on ? t('switchHintOn') : t('switchHintOff');
}

function renderState() {
  const state = page.published;
  view.stateTargets.textContent = '';
  if (state === undefined) {
    view.stateLine.textContent = t('stateNone');
    return;
  }
  if (state === null) {
    view.stateLine.textContent = t('stateUnreadable');
    return;
  }
  view.stateLine.textContent = `${state.isBlocking ? t('stateOn') : t('stateOff')}, ${t('stateSince', { time: formatWhen(state.updatedAt) })}`;
  const names = new Map((Array.isArray(page.registry) ? page.registry : []).map((r) => [r.id, r.deviceName]));
  const targets = state.targetDeviceIDs.map((id) => names.get(id) ?? t('unknownDevice', { id: id.slice(0, 8) }));
  view.stateTargets.textContent = targets.length ? t('stateTargets', { devices: targets.join(', ') })
                                                 : t('stateNoTargets');
}

function renderDevices() {
  const focusedId = document.activeElement?.dataset?.deviceId;
  view.devices.replaceChildren();
  view.devicesHint.hidden = !Array.isArray(page.registry) || page.registry.length === 0;
  if (page.registry === undefined) {
    view.devicesMessage.textContent = page.link === 'online' ? t('devicesNone') : t('devicesWaiting');
    return;
  }
  if (page.registry === null) {
    view.devicesMessage.textContent = t('devicesUnreadable');
    return;
  }
  const devices = devicesForDisplay(page.registry, nowSeconds());
  view.devicesMessage.textContent = devices.length ? '' : t('devicesNone');
  for (const device of devices) {
    const item = document.createElement('li');
    item.className = 'device';
    item.dataset.stale = String(device.stale);
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.dataset.deviceId = device.id;
    box.checked = isTicked(device);
    box.addEventListener('change', () => {
      page.choices.set(device.id, box.checked);
      clearResult();
    });
    // The whole row is the box's label, so the row is the touch target.
    const label = document.createElement('label');
    const text = document.createElement('span');
    text.className = 'device-text';
    const name = document.createElement('span');
    name.className = 'device-name';
    name.textContent = device.deviceName;
    const meta = document.createElement('span');
    meta.className = 'device-meta';
    const seen = t('lastSeen', { time: relativeTime(locale, millisFromReferenceSeconds(device.lastSeenAt), Date.now()) });
    meta.textContent = [t(`kind_${device.deviceType}`), seen, device.stale ? t('staleNote') : '']
                           .filter(Boolean).join(' · ');
    text.append(name, meta);
    label.append(box, glyph(device.deviceType), text);
    item.append(label);
    view.devices.append(item);
    if (device.id === focusedId)
      box.focus();
  }
}

function render() {
  page.defaults = new Set(Array.isArray(page.registry) ? defaultTargets(page.registry, nowSeconds()) : []);
  renderLink();
  renderSwitch();
  renderState();
  renderDevices();
}

function showResult(kind, text) {
  view.result.dataset.result = kind;
  view.result.textContent = text;
}

function clearResult() {
  if (!page.sending)
    showResult('none', '');
}

// ---- the connection ----------------------------------------------------------------------------

function storedSettings() {
  const query = new URLSearchParams(location.search);
  const savedUser = localStorage.getItem(storage.user) ?? '';
  const broker = query.get('broker') ?? localStorage.getItem(storage.broker) ?? '';
  const user = query.get('user') ?? savedUser;
  const saved = localStorage.getItem(storage.password);
  const password = user === savedUser && broker === (localStorage.getItem(storage.broker) ?? '')
    ? (sessionStorage.getItem(storage.password) ?? saved ?? '') : '';
  return { broker, user, password, remembered: saved !== null && password === saved && password !== '' };
}

function keepSettings({ broker, user, password, remember }) {
  localStorage.setItem(storage.broker, broker);
  localStorage.setItem(storage.user, user);
  sessionStorage.setItem(storage.password, password);
  if (remember)
    localStorage.setItem(storage.password, password);
  else
    localStorage.removeItem(storage.password);
}

function forgetPassword() {
  sessionStorage.removeItem(storage.password);
  localStorage.removeItem(storage.password);
}

function showLogin(error) {
  const settings = storedSettings();
  view.broker.value = settings.broker || view.broker.value;
  view.user.value = settings.user || view.user.value;
  view.remember.checked = settings.remembered;
  view.loginError.hidden = !error;
  view.loginError.textContent = error ?? '';
  view.login.hidden = false;
  view.control.hidden = true;
  view.connectButton.disabled = false;
  view.connectButton.textContent = t('connect');
  page.link = 'signedOut';
  renderLink();
}

function showControl() {
  view.login.hidden = true;
  view.control.hidden = false;
  view.account.textContent = t('connectedAs', page.settings);
  render();
}

function setLink(link) {
  if (page.link === link)
    return;
  const before = page.link;
  page.link = link;
  renderLink();
  renderDevices();
  if (link === 'offline' && before === 'online')
    announce(t('wentOffline'));
}

function isAuthError(error) {
  // MQTT 5 reason codes "bad user name or password" and "not authorised"; 4 and 5 in MQTT 3.
  return [134, 135, 4, 5].includes(error?.code);
}

// Ends the connection; its events no longer reach the page (see `on` in connect).
function stopClient() {
  const client = page.client;
  page.client = null;
  client?.end(true);
}

function receive(topic, payload) {
  const key = topic.slice(topic.lastIndexOf('/') + 1);
  if (payload.length === 0)
    return; // a deletion: the last value stands, as for the computers
  if (key === 'deviceRegistry') {
    page.registry = decodeRegistry(payload);
  } else if (key === 'syncedBlockState') {
    const before = page.published;
    page.published = decodeBlockState(payload);
    if (!page.sending && !sameBytes(payload, page.lastSent))
      clearResult(); // another phone or vorn-phone changed it: our "Sent" is old news
    if (page.published && before !== undefined && before?.isBlocking !== page.published.isBlocking)
      announce(page.published.isBlocking ? t('announceOn') : t('announceOff'));
  } else {
    return;
  }
  render();
}

function connect(settings, password, interactive) {
  stopClient();
  page.settings = settings;
  page.everConnected = false;
  page.interactive = interactive;
  page.registry = undefined;
  page.published = undefined;
  page.sending = false;
  setLink('connecting');
  if (!interactive)
    showControl();

  const client = mqtt.connect(settings.broker, {
    protocolVersion: 5,
    username: settings.user,
    password,
    clientId: `vorn-phone-${crypto.getRandomValues(new Uint32Array(2)).join('')}`,
    clean: true,
    keepalive: 30,
    reconnectPeriod: 1000,
    connectTimeout: 8000,
    resubscribe: true,
  });
  page.client = client;
  const on = (event, handler) => client.on(event, (...args) => {
    if (page.client === client)
      handler(...args);
  });

  on('connect', () => {
    const first = !page.everConnected;
    page.everConnected = true;
    // The client subscribes again by itself after a reconnect.
    if (first) {
      client.subscribe(kvTopic(settings.user, '+'), { qos: 1 }, (error, granted) => {
        if (error || granted?.some((g) => g.qos >= 128))
          showResult('error', t('errorConnect', { reason: error?.message ?? 'subscription refused' }));
      });
    } else {
      announce(t('reconnected'));
    }
    if (!view.control.hidden || interactive)
      showControl();
    setLink('online');
  });
  on('message', (topic, payload) => receive(topic, payload));
  // Once connected, the page stays "Offline" through its retries rather than flickering.
  on('reconnect', () => { if (!page.everConnected) setLink('connecting'); });
  on('offline', () => setLink('offline'));
  on('close', () => {
    if (interactive && !page.everConnected) {
      stopClient();
      showLogin(page.lastError ?? t('errorConnect', { reason: settings.broker }));
      return;
    }
    setLink('offline');
  });
  on('error', (error) => {
    if (isAuthError(error)) {
      forgetPassword();
      stopClient();
      showLogin(t('errorAuth'));
      return;
    }
    page.lastError = t('errorConnect', { reason: error?.message ?? String(error) });
  });
}

// ---- actions -----------------------------------------------------------------------------------

function tap() {
  if (page.sending)
    return;
  const client = page.client;
  if (!client?.connected) {
    showResult('error', t('errorOffline'));
    return;
  }
  const targets = selectedTargets();
  if (targets.length === 0) {
    showResult('error', t('errorNoSelection'));
    return;
  }
  const isBlocking = !(page.published?.isBlocking === true);
  const bytes = encodeBlockStateBytes({ isBlocking, targetDeviceIDs: targets, updatedAt: nowSeconds() });
  page.lastSent = bytes;
  page.sending = true;
  renderSwitch();
  showResult('sending', t('sending'));

  const topic = kvTopic(page.settings.user, 'syncedBlockState');
  let messageId;
  let done = false;
  const finish = (kind, text) => {
    if (done)
      return;
    done = true;
    clearTimeout(timer);
    client.removeListener('close', onClose);
    client.removeListener('packetsend', noteId);
    page.sending = false;
    renderSwitch();
    showResult(kind, text);
  };
  // A slow broker may still take it: say so, and say "Sent" if its PUBACK comes after all.
  const timer = setTimeout(() => {
    page.sending = false;
    renderSwitch();
    showResult('error', t('errorNoAck'));
  }, ackTimeoutMs);
  // The client would send it again after reconnecting, maybe long after another phone published
  // something newer: drop it instead, and let the user tap again.
  const onClose = () => {
    finish('error', t('errorLost'));
    if (messageId !== undefined)
      client.removeOutgoingMessage(messageId);
  };
  // The client tells the message's id only as it writes the packet (at once, unless it is busy
  // replaying stored packets after a reconnect).
  const noteId = (packet) => {
    if (messageId === undefined && packet.cmd === 'publish' && packet.topic === topic)
      messageId = packet.messageId;
  };
  client.once('close', onClose);
  client.on('packetsend', noteId);
  // The callback runs when the broker's PUBACK arrives, or with the broker's refusal.
  client.publish(topic, bytes, { qos: 1, retain: true }, (error) => {
    if (error) {
      finish('error', t('errorRefused', { reason: error.message ?? String(error) }));
      return;
    }
    const state = isBlocking ? t('stateWordOn') : t('stateWordOff');
    finish('sent', targets.length === 1 ? t('sentOne', { state }) : t('sent', { state, count: targets.length }));
  });
}

// What is wrong with these settings, in words; nothing when they can be tried.
function settingsProblem({ broker, user, password }) {
  if (!broker || !user || !password)
    return t('errorMissing');
  if (!/^wss?:\/\/[^/]/i.test(broker))
    return t('errorBadUrl');
  if (location.protocol === 'https:' && /^ws:/i.test(broker))
    return t('errorPlainFromHttps');
  if (/[/+#]/.test(user)) // they would change the topics
    return t('errorBadUser');
  return null;
}

function submitLogin(event) {
  event.preventDefault();
  const broker = view.broker.value.trim();
  const user = view.user.value.trim();
  const password = view.password.value;
  const problem = settingsProblem({ broker, user, password });
  view.loginError.hidden = !problem;
  view.loginError.textContent = problem ?? '';
  if (problem)
    return;
  keepSettings({ broker, user, password, remember: view.remember.checked });
  view.password.value = '';
  page.lastError = null;
  view.connectButton.disabled = true;
  view.connectButton.textContent = t('connecting');
  connect({ broker, user }, password, true);
}

function signOut() {
  forgetPassword();
  stopClient();
  page.settings = null;
  showLogin();
}

// A phone suspends pages and drops sockets; try again at once when the page comes back.
function wakeUp() {
  const client = page.client;
  if (client && !client.connected && !client.reconnecting && !client.disconnecting)
    client.reconnect();
}

function start() {
  applyStaticTexts();
  view.form.addEventListener('submit', submitLogin);
  view.toggle.addEventListener('click', tap);
  view.signOut.addEventListener('click', signOut);
  window.addEventListener('online', wakeUp);
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible')
      wakeUp();
  });
  setInterval(() => { if (!view.control.hidden) render(); }, 30000);

  const settings = storedSettings();
  if (!settingsProblem(settings))
    connect({ broker: settings.broker, user: settings.user }, settings.password, false);
  else
    showLogin();
}

start();
