// The phone page: signs in to the user's MQTT 5 broker over WebSockets, follows the
// "deviceRegistry" and "syncedBlockState" keys live, and publishes a new block state when the
// switch is tapped. The MQTT client is the `mqtt` package's browser build (global `mqtt`).

import {
  decodeBlockState, decodeRegistry, defaultTargets, devicesForDisplay, encodeBlockState,
  referenceSecondsFromMillis,
} from './records.js';
import { offer, phoneKey, phoneName, signedBytes } from './phonekey.js';
import { Session } from './session.js';
import { forgetPassword, keepSettings, settingsProblem, storedSettings } from './settings.js';
import { chooseLanguage, translator } from './texts.js';
import { View } from './view.js';

const preferred = navigator.languages?.length ? navigator.languages : [navigator.language];
const language = chooseLanguage(preferred);
// Times and dates follow the phone's own region when it speaks the page's language (en-GB: 24 h).
const locale = preferred.find((tag) => String(tag).toLowerCase().split('-')[0] === language) ?? language;
const t = translator(language);
const ackTimeoutMs = 10000;
const stores = { local: localStorage, session: sessionStorage };
const view = new View(document, { t, language, locale });

const page = {
  session: null,
  settings: null, // { broker, user }
  link: 'signedOut',
  registry: undefined, // undefined: not heard yet; null: undecodable; else the records
  published: undefined, // undefined: nothing published; null: undecodable; else the state
  oversized: new Map(), // key -> size of its latest value, for values too large to take
  choices: new Map(), // device id -> ticked, for devices the user ticked or unticked by hand
  sending: false,
  lastSent: null,
  defaults: new Set(), // what is ticked when the user chose nothing: recent macs
  key: null, // this phone's signing key (phonekey.js), made at the first sign-in
};
let keyReady = null;

const nowSeconds = () => referenceSecondsFromMillis(Date.now());
const sameBytes = (a, b) => !!b && a.length === b.length && a.every((byte, i) => byte === b[i]);
const isTicked = (device) => page.choices.get(device.id) ?? page.defaults.has(device.id);

// The registry's devices as listed, sorted again only for a new registry or after a while (for
// staleness): sorting thousands of names takes a while on a phone.
let listed = { registry: undefined, at: -Infinity, devices: [] };
function listedDevices() {
  const now = nowSeconds();
  if (!Array.isArray(page.registry))
    return [];
  if (listed.registry !== page.registry || now - listed.at >= 30)
    listed = { registry: page.registry, at: now, devices: devicesForDisplay(page.registry, now) };
  return listed.devices;
}

function selectedTargets() {
  return listedDevices().filter(isTicked).map((device) => device.id);
}

// Draws the page; the device list only when `all` or when what it shows changed (a tick box the
// user changed shows itself).
let drawnFrom = [];
function render(all = false) {
  page.defaults = new Set(Array.isArray(page.registry) ? defaultTargets(page.registry, nowSeconds()) : []);
  view.renderLink(page);
  view.renderSwitch(page);
  view.renderState(page);
  const from = [page.registry, page.oversized.get('deviceRegistry')];
  if (all || from.some((value, i) => value !== drawnFrom[i])) {
    drawnFrom = from;
    view.renderDevices(page, isTicked, listedDevices());
  }
}

// A value that arrived is drawn in a task of its own, once for values arriving together: reading
// a large one and drawing it in the same task would hold the page for longer.
let drawSoon = null;
function renderSoon() {
  drawSoon ??= setTimeout(() => {
    drawSoon = null;
    render();
  });
}

function clearResult() {
  if (!page.sending)
    view.showResult('none', '');
}

function showLogin(error) {
  view.showLogin(storedSettings({ search: location.search, ...stores }), error);
  page.link = 'signedOut';
  view.renderLink(page);
}

function showControl() {
  view.showControl(page.settings);
  render(true);
}

function setLink(link) {
  if (page.link === link)
    return;
  const before = page.link;
  page.link = link;
  view.renderLink(page);
  if (page.registry === undefined) // the list's message says whether the page is waiting
    view.renderDevices(page, isTicked, []);
  if (link === 'offline' && before === 'online')
    view.announce(t('wentOffline'));
}

function receive(key, payload) {
  if (key === 'deviceRegistry') {
    // Read in a task of its own, after the client's, and drawn in the next: a registry of
    // thousands of devices read and drawn at once would hold the page for too long.
    const session = page.session;
    setTimeout(() => {
      if (page.session !== session)
        return;
      page.registry = decodeRegistry(payload);
      page.oversized.delete(key);
      renderSoon();
    });
    return;
  }
  if (key !== 'syncedBlockState')
    return;
  const before = page.published;
  page.published = decodeBlockState(payload);
  if (!page.sending && !sameBytes(payload, page.lastSent))
    clearResult(); // another phone or vorn-phone changed it: our "Sent" is old news
  if (page.published && before !== undefined && before?.isBlocking !== page.published.isBlocking)
    view.announce(page.published.isBlocking ? t('announceOn') : t('announceOff'));
  page.oversized.delete(key);
  renderSoon();
}

// A value too large to take leaves the last one standing, and the page says so.
function receiveOversized(key, size) {
  if (key !== 'deviceRegistry' && key !== 'syncedBlockState')
    return;
  page.oversized.set(key, size);
  renderSoon();
}

// Offers this phone's key for pairing once per sign-in, trying again while the broker does not
// take it (the publishing connection may come up a moment after the first).
async function offerKey(session) {
  const key = await keyReady;
  const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  while (key && page.session === session) {
    const { key: storeKey, bytes } = offer(key, phoneName(navigator.userAgent), Date.now());
    try {
      await session.publishRetained(session.topic(storeKey), bytes, { timeoutMs: ackTimeoutMs });
      return;
    } catch {
      await pause(1000);
    }
  }
}

function connect(settings, password, interactive) {
  page.session?.close();
  keyReady ??= phoneKey().then((key) => {
    page.key = key;
    view.showKey(key);
    return key;
  });
  Object.assign(page, { settings, registry: undefined, published: undefined, sending: false });
  page.oversized.clear();
  if (!interactive)
    showControl();
  const session = new Session(mqtt.connect, settings, password, {
    link: setLink,
    connected(first) {
      if (!first)
        view.announce(t('reconnected'));
      else
        offerKey(session);
      if (!view.control.hidden || interactive)
        showControl();
    },
    subscribeFailed: (reason) => view.showResult('error', t('errorConnect', { reason })),
    value: receive,
    oversized: receiveOversized,
    refused() {
      forgetPassword(stores);
      showLogin(t('errorAuth'));
    },
    unreachable(reason) {
      if (!interactive) {
        setLink('offline');
        return;
      }
      session.close();
      showLogin(t('errorConnect', { reason }));
    },
  });
  page.session = session;
}

async function tap() {
  if (page.sending)
    return;
  const session = page.session;
  if (!session?.connected) {
    view.showResult('error', t('errorOffline'));
    return;
  }
  const targets = selectedTargets();
  if (targets.length === 0) {
    view.showResult('error', t('errorNoSelection'));
    return;
  }
  const isBlocking = !(page.published?.isBlocking === true);
  const text = encodeBlockState({ isBlocking, targetDeviceIDs: targets, updatedAt: nowSeconds() });
  page.sending = true;
  view.renderSwitch(page);
  view.showResult('sending', t('sending'));
  let result;
  try {
    const bytes = await signedBytes(await keyReady, 'syncedBlockState', text);
    page.lastSent = bytes;
    await session.publishRetained(session.topic('syncedBlockState'), bytes, { timeoutMs: ackTimeoutMs });
    const state = isBlocking ? t('stateWordOn') : t('stateWordOff');
    result = ['sent', targets.length === 1 ? t('sentOne', { state }) : t('sent', { state, count: targets.length })];
  } catch (error) {
    const texts = { offline: 'errorOffline', timeout: 'errorNoAck', lost: 'errorLost', refused: 'errorRefused' };
    result = ['error', t(texts[error.reason] ?? 'errorRefused', { reason: error.message })];
  }
  if (page.session !== session)
    return; // signed out or signed in again meanwhile
  page.sending = false;
  view.renderSwitch(page);
  view.showResult(...result);
}

function submitLogin(event) {
  event.preventDefault();
  const broker = view.broker.value.trim();
  const user = view.user.value.trim();
  const password = view.password.value;
  const problem = settingsProblem({ broker, user, password }, location.protocol);
  view.loginError.hidden = !problem;
  view.loginError.textContent = problem ? t(problem) : '';
  if (problem)
    return;
  keepSettings(stores, { broker, user, password, remember: view.remember.checked });
  view.password.value = '';
  view.connectButton.disabled = true;
  view.connectButton.textContent = t('connecting');
  connect({ broker, user }, password, true);
}

function signOut() {
  forgetPassword(stores);
  page.session?.close();
  page.session = null;
  page.settings = null;
  showLogin();
}

function start() {
  view.applyStaticTexts();
  view.form.addEventListener('submit', submitLogin);
  view.toggle.addEventListener('click', tap);
  view.signOut.addEventListener('click', signOut);
  view.devices.addEventListener('change', (event) => {
    page.choices.set(event.target.dataset.deviceId, event.target.checked);
    clearResult();
  });
  const wakeUp = () => page.session?.wake();
  window.addEventListener('online', wakeUp);
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible')
      wakeUp();
  });
  setInterval(() => { if (!view.control.hidden) render(true); }, 30000);

  const settings = storedSettings({ search: location.search, ...stores });
  if (!settingsProblem(settings, location.protocol))
    connect({ broker: settings.broker, user: settings.user }, settings.password, false);
  else
    showLogin();
}

start();
