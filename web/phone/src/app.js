// The phone page: signs in to the user's MQTT 5 broker over WebSockets, follows the
// "deviceRegistry", "syncedBlockState" and "blockSchedule" keys live, publishes a new block state
// (maybe timed, maybe locked) when the switch is tapped, and the schedule as it is edited. The
// MQTT client is the `mqtt` package's browser build (global `mqtt`).

import {
  decodeBlockState, decodeRegistry, decodeSchedule, defaultTargets, devicesForDisplay, encodeBlockState,
  encodeSchedule, referenceSecondsFromMillis,
} from './records.js';
import { offer, phoneKey, phoneName, signedBytes } from './phonekey.js';
import { Session } from './session.js';
import { forgetPassword, keepSettings, settingsProblem, storedSettings } from './settings.js';
import { chooseLanguage, translator } from './texts.js';
import { endForChoice, lockEndFor, nextMinuteTick, sessionNow } from './timing.js';
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
  schedule: undefined, // as published: undefined, null or the schedule
  editing: null, // the window the schedule form changes, or null: the form adds one
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
let drawnSchedule = null;
function render(all = false) {
  page.defaults = new Set(Array.isArray(page.registry) ? defaultTargets(page.registry, nowSeconds()) : []);
  view.renderLink(page);
  view.renderSwitch(page);
  view.renderState(page);
  const schedule = [page.schedule, page.registry, page.oversized.get('blockSchedule')];
  if (!drawnSchedule || schedule.some((value, i) => value !== drawnSchedule[i])) { // keeps a focused button
    drawnSchedule = schedule;
    view.renderSchedule(page);
  }
  minuteTick();
  const from = [page.registry, page.oversized.get('deviceRegistry')];
  if (all || from.some((value, i) => value !== drawnFrom[i])) {
    drawnFrom = from;
    view.renderDevices(page, isTicked, listedDevices());
  }
}

// A session's time left is counted down on the page as each minute of it passes; its end and
// the end of its lock redraw the switch.
let ticking = null;
function minuteTick() {
  clearTimeout(ticking);
  const now = Date.now();
  const session = sessionNow(page.published, now);
  const wait = nextMinuteTick([session.ends, session.lockedUntil].filter(Number.isFinite), now);
  if (wait !== undefined) {
    ticking = setTimeout(() => {
      view.renderSwitch(page);
      minuteTick();
    }, wait + 20);
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
  if (key === 'blockSchedule') {
    page.schedule = decodeSchedule(payload);
    page.oversized.delete(key);
    renderSoon();
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
  if (!['deviceRegistry', 'syncedBlockState', 'blockSchedule'].includes(key))
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
  Object.assign(page, { settings, registry: undefined, published: undefined, schedule: undefined, sending: false });
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

const publishErrors = { offline: 'errorOffline', timeout: 'errorNoAck', lost: 'errorLost', refused: 'errorRefused' };
const publishError = (error) => t(publishErrors[error.reason] ?? 'errorRefused', { reason: error.message });

// What a tap publishes: off, or on with the end and the lock chosen under the switch (asking
// before a lock); nothing when the running session is locked or the user had second thoughts.
async function nextState(targets) {
  const now = Date.now();
  const running = sessionNow(page.published, now);
  if (running.lockedUntil !== undefined)
    return null; // the switch is disabled: the computers would hold an "off" back
  const state = { isBlocking: !running.blocking, targetDeviceIDs: targets };
  if (state.isBlocking) {
    const choice = view.chosenDuration();
    const ends = endForChoice(choice, now, view.untilTime.value);
    if (choice === 'until' && ends === undefined) {
      view.showResult('error', t('errorNoUntil'));
      return null;
    }
    if (ends !== undefined)
      state.endsAt = referenceSecondsFromMillis(ends);
    // The end the user agreed to stays; the lock's 24 hours count from the record's time.
    if (ends !== undefined && view.lock.checked) {
      if (!await view.confirmLock(view.formatClock(lockEndFor(now, ends))) || Date.now() >= ends)
        return null;
      state.locked = true;
    }
  }
  return { ...state, updatedAt: nowSeconds() };
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
  page.sending = true; // also while the lock is being confirmed: one tap at a time
  const next = await nextState(targets);
  if (!next || page.session !== session || !session.connected) {
    page.sending = false;
    if (next && page.session === session)
      view.showResult('error', t('errorOffline'));
    return;
  }
  const { isBlocking } = next;
  const text = encodeBlockState(next);
  view.renderSwitch(page);
  view.showResult('sending', t('sending'));
  let result;
  try {
    const bytes = await signedBytes(await keyReady, 'syncedBlockState', text);
    page.lastSent = bytes;
    await session.publishRetained(session.topic('syncedBlockState'), bytes, { timeoutMs: ackTimeoutMs });
    const state = isBlocking ? t('stateWordOn') : t('stateWordOff');
    result = ['sent', targets.length === 1 ? t('sentOne', { state }) : t('sent', { state, count: targets.length })];
    view.lock.checked = false; // a lock is chosen afresh each time
  } catch (error) {
    result = ['error', publishError(error)];
  }
  if (page.session !== session)
    return; // signed out or signed in again meanwhile
  page.sending = false;
  view.renderSwitch(page);
  view.showResult(...result);
}

// Publishes the schedule with these windows in place of the published ones.
async function publishSchedule(windows) {
  const session = page.session;
  if (!session?.connected) {
    view.showScheduleResult('error', t('errorOffline'));
    return;
  }
  const text = encodeSchedule({ windows, updatedAt: nowSeconds() });
  view.showScheduleResult('sending', t('sending'));
  let result = ['sent', t('scheduleSent')];
  try {
    const bytes = await signedBytes(await keyReady, 'blockSchedule', text);
    await session.publishRetained(session.topic('blockSchedule'), bytes, { timeoutMs: ackTimeoutMs });
  } catch (error) {
    result = ['error', publishError(error)];
  }
  if (page.session === session)
    view.showScheduleResult(...result);
}

function addWindow(event) {
  event.preventDefault();
  const days = view.chosenDays();
  const start = view.windowStart.value;
  const end = view.windowEnd.value;
  const targets = selectedTargets();
  const problem = !days.length ? 'scheduleErrorDays' : !start || !end || start === end ? 'scheduleErrorTimes'
                : !targets.length ? 'errorNoSelection' : null;
  if (problem) {
    view.showScheduleResult('error', t(problem));
    return;
  }
  const window = { days, start, end, targetDeviceIDs: targets, ...(view.windowLock.checked ? { locked: true } : {}) };
  const windows = [...(page.schedule?.windows ?? [])];
  // A window being changed is replaced where it stands, if the schedule still holds it.
  const at = page.editing ? windows.findIndex((w) => JSON.stringify(w) === JSON.stringify(page.editing)) : -1;
  if (at >= 0)
    windows[at] = window;
  else
    windows.push(window);
  page.editing = null;
  view.editWindow(null);
  publishSchedule(windows);
}

// "Remove" publishes the schedule without that window; "Change" puts it in the form (its days,
// times and lock, and its devices ticked in the list) to be saved in its place.
function onWindowButton(event) {
  const button = event.target.closest('button[data-index], button[data-change]');
  const windows = page.schedule?.windows;
  if (!button || !windows)
    return;
  if (button.dataset.index !== undefined) {
    publishSchedule(windows.filter((_, i) => i !== Number(button.dataset.index)));
    return;
  }
  page.editing = windows[Number(button.dataset.change)];
  const targets = new Set(page.editing.targetDeviceIDs);
  for (const device of listedDevices())
    page.choices.set(device.id, targets.has(device.id));
  view.renderDevices(page, isTicked, listedDevices());
  view.editWindow(page.editing);
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
  view.renderOptions();
  view.form.addEventListener('submit', submitLogin);
  view.toggle.addEventListener('click', tap);
  view.sessionOptions.addEventListener('change', () => view.renderOptions());
  view.windowForm.addEventListener('submit', addWindow);
  view.windows.addEventListener('click', onWindowButton);
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
