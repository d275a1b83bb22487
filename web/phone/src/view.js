// What the page shows: the sign-in form, the link badge, the switch, the published state and the
// device list, drawn from the page's state (see app.js). Device names come from other devices and
// may hold any text, bidirectional controls included: each is isolated in an element of its own.

import { millisFromReferenceSeconds } from './records.js';
import { relativeTime } from './texts.js';

// The device list is drawn in slices, each its own task, so thousands of devices never hold the
// page (a tap, an arriving answer) for long; the first slice fills a phone's screen at once.
const firstSlice = 60;
const slice = 150;

const glyphPaths = {
  mac: 'M4 5h16v10H4z M2 19h20 M9 15l-1 4 M15 15l1 4',
  iPhone: 'M8 2h8a1 1 0 0 1 1 1v18a1 1 0 0 1-1 1H8a1 1 0 0 1-1-1V3a1 1 0 0 1 1-1z M11 19h2',
  iPad: 'M5 2h14a1 1 0 0 1 1 1v18a1 1 0 0 1-1 1H5a1 1 0 0 1-1-1V3a1 1 0 0 1 1-1z M11 19h2',
};

export class View {
  constructor(document, { t, language, locale }) {
    this.document = document;
    this.t = t;
    this.language = language;
    this.locale = locale;
    const $ = (id) => document.getElementById(id);
    for (const [name, id] of Object.entries({
      login: 'login', form: 'login-form', broker: 'broker', user: 'user', password: 'password',
      remember: 'remember', loginError: 'login-error', control: 'control', link: 'link',
      linkText: 'link-text', toggle: 'switch', switchWord: 'switch-word', switchHint: 'switch-hint',
      result: 'send-result', stateLine: 'state-line', stateTargets: 'state-targets', devices: 'devices',
      devicesMessage: 'devices-message', devicesHint: 'devices-hint', account: 'account',
      signOut: 'sign-out', announcer: 'announcer', connectButton: 'connect', keyLine: 'phone-key',
    }))
      this[name] = $(id);
    this.glyphs = Object.fromEntries(Object.entries(glyphPaths).map(([type, d]) => [type, this.makeGlyph(d)]));
    this.drawing = 0; // bumped by each drawing of the list; a slice of an older one stops
    this.rows = new Map(); // device id -> its row's elements
  }

  applyStaticTexts() {
    this.document.documentElement.lang = this.language;
    for (const element of this.document.querySelectorAll('[data-text]'))
      element.textContent = this.t(element.dataset.text);
    this.control.setAttribute('aria-label', this.t('title'));
  }

  announce(text) {
    // Re-setting the same text would not be read again; clear first.
    this.announcer.textContent = '';
    setTimeout(() => { this.announcer.textContent = text; }, 50);
  }

  formatWhen(seconds) {
    const millis = millisFromReferenceSeconds(seconds);
    const date = new Date(millis);
    if (Number.isNaN(date.getTime()))
      return '—';
    const sameDay = date.toDateString() === new Date().toDateString();
    const absolute = new Intl.DateTimeFormat(this.locale, sameDay ? { timeStyle: 'short' }
                                                                  : { dateStyle: 'medium', timeStyle: 'short' })
                         .format(date);
    return `${absolute} (${relativeTime(this.locale, millis, Date.now())})`;
  }

  // In bytes: a value just over the limit would read "1 MiB" in MiB.
  formatSize(bytes) {
    return new Intl.NumberFormat(this.locale, { style: 'unit', unit: 'byte', unitDisplay: 'long' }).format(bytes);
  }

  makeGlyph(d) {
    const svg = this.document.createElementNS('http://www.w3.org/2000/svg', 'svg');
    svg.setAttribute('viewBox', '0 0 24 24');
    svg.setAttribute('class', 'glyph');
    svg.setAttribute('aria-hidden', 'true');
    const path = this.document.createElementNS('http://www.w3.org/2000/svg', 'path');
    path.setAttribute('d', d);
    svg.append(path);
    return svg;
  }

  renderLink(page) {
    this.link.dataset.link = page.link;
    this.linkText.textContent = this.t(page.link);
  }

  renderSwitch(page) {
    const on = page.published?.isBlocking === true;
    this.document.body.dataset.blocking = String(on);
    this.toggle.setAttribute('aria-checked', String(on));
    this.toggle.setAttribute('aria-busy', String(page.sending));
    this.switchWord.textContent = on ? this.t('switchOn') : this.t('switchOff');
    this.switchHint.textContent = on ? this.t('switchHintOn') : this.t('switchHintOff');
  }

  renderState(page) {
    const { t } = this;
    const state = page.published;
    this.stateTargets.replaceChildren();
    if (page.oversized.has('syncedBlockState')) {
      this.stateLine.textContent = t('stateTooLarge', { size: this.formatSize(page.oversized.get('syncedBlockState')) });
      return;
    }
    if (state === undefined) {
      this.stateLine.textContent = t('stateNone');
      return;
    }
    if (state === null) {
      this.stateLine.textContent = t('stateUnreadable');
      return;
    }
    this.stateLine.textContent = `${state.isBlocking ? t('stateOn') : t('stateOff')}, ${t('stateSince', { time: this.formatWhen(state.updatedAt) })}`;
    if (state.targetDeviceIDs.length === 0) {
      this.stateTargets.textContent = t('stateNoTargets');
      return;
    }
    const names = new Map((Array.isArray(page.registry) ? page.registry : []).map((r) => [r.id, r.deviceName]));
    // "For: A, B": each name in a <bdi>, so one name's direction controls stay inside it.
    const [before, after] = t('stateTargets', { devices: '\u0000' }).split('\u0000');
    const parts = [before];
    state.targetDeviceIDs.forEach((id, i) => {
      const name = this.document.createElement('bdi');
      name.textContent = names.get(id) ?? t('unknownDevice', { id: id.slice(0, 8) });
      parts.push(...(i ? [', ', name] : [name]));
    });
    this.stateTargets.append(...parts, after);
  }

  // devices: the registry's, as listed (devicesForDisplay).
  renderDevices(page, isTicked, devices) {
    const { t } = this;
    const drawing = ++this.drawing;
    this.devicesHint.hidden = !Array.isArray(page.registry) || page.registry.length === 0;
    const tooLarge = page.oversized.get('deviceRegistry');
    const note = tooLarge === undefined ? '' : t('devicesTooLarge', { size: this.formatSize(tooLarge) });
    // Without a list the rows are hidden, not taken out (that is slow for thousands), and are
    // updated in place when a list comes again.
    this.devices.hidden = !Array.isArray(page.registry);
    if (this.devices.hidden) {
      const waiting = page.link === 'online' ? t('devicesNone') : t('devicesWaiting');
      this.devicesMessage.textContent = note || (page.registry === null ? t('devicesUnreadable') : waiting);
      return;
    }
    this.devicesMessage.textContent = note || (devices.length ? '' : t('devicesNone'));
    const kinds = Object.fromEntries(Object.keys(glyphPaths).map((kind) => [kind, t(`kind_${kind}`)]));
    const now = Date.now();
    const listed = new Set(devices.map((device) => device.id));
    // Rows are kept per device and updated in place, moved only when the order changed. Rows of
    // devices no longer listed are passed over and taken out at the end, a slice per task.
    let next = this.devices.firstElementChild;
    const gone = [];
    const skipGone = () => {
      while (next && (!listed.has(next.dataset.deviceId) || this.rows.get(next.dataset.deviceId)?.item !== next)) {
        if (this.rows.get(next.dataset.deviceId)?.item === next)
          this.rows.delete(next.dataset.deviceId);
        gone.push(next);
        next = next.nextElementSibling;
      }
    };
    const takeOut = () => {
      for (const row of gone.splice(0, slice))
        row.remove();
      if (gone.length)
        setTimeout(takeOut);
    };
    const draw = (from, to) => {
      if (drawing !== this.drawing)
        return;
      for (const device of devices.slice(from, to)) {
        skipGone();
        const row = this.rows.get(device.id) ?? this.deviceRow(device.id);
        this.updateRow(row, device, isTicked(device), kinds, now);
        if (row.item === next)
          next = next.nextElementSibling;
        else
          this.devices.insertBefore(row.item, next);
      }
      if (to < devices.length) {
        setTimeout(() => draw(to, to + slice));
        return;
      }
      skipGone();
      takeOut();
    };
    draw(0, firstSlice);
  }

  // One row: the whole row is the tick box's label, so the row is the touch target.
  deviceRow(id) {
    const { document } = this;
    const row = { item: document.createElement('li'), box: document.createElement('input'),
                  name: document.createElement('bdi'), meta: document.createElement('span') };
    row.item.className = 'device';
    row.item.dataset.deviceId = id;
    row.box.type = 'checkbox';
    row.box.dataset.deviceId = id;
    const label = document.createElement('label');
    const text = document.createElement('span');
    text.className = 'device-text';
    row.name.className = 'device-name';
    row.meta.className = 'device-meta';
    text.append(row.name, row.meta);
    label.append(row.box, text);
    row.item.append(label);
    this.rows.set(id, row);
    return row;
  }

  updateRow(row, device, ticked, kinds, now) {
    const { t } = this;
    const set = (element, text) => {
      if (element.textContent !== text)
        element.textContent = text;
    };
    row.item.dataset.stale = String(device.stale);
    row.box.checked = ticked;
    if (row.kind !== device.deviceType) {
      row.kind = device.deviceType;
      const glyph = this.glyphs[device.deviceType].cloneNode(true);
      if (row.box.nextElementSibling.tagName === 'svg')
        row.box.nextElementSibling.replaceWith(glyph);
      else
        row.box.after(glyph);
    }
    set(row.name, device.deviceName);
    const seen = t('lastSeen', { time: relativeTime(this.locale, millisFromReferenceSeconds(device.lastSeenAt), now) });
    set(row.meta, [kinds[device.deviceType], seen, device.stale ? t('staleNote') : ''].filter(Boolean).join(' · '));
  }

  showResult(kind, text) {
    this.result.dataset.result = kind;
    this.result.textContent = text;
  }

  showLogin(settings, error) {
    this.broker.value = settings.broker || this.broker.value;
    this.user.value = settings.user || this.user.value;
    this.remember.checked = settings.remembered;
    this.loginError.hidden = !error;
    this.loginError.textContent = error ?? '';
    this.login.hidden = false;
    this.control.hidden = true;
    this.connectButton.disabled = false;
    this.connectButton.textContent = this.t('connect');
  }

  // This phone's key fingerprint, to compare with the one the computer shows when pairing.
  showKey(key) {
    this.keyLine.hidden = !key;
    this.keyLine.textContent = key ? this.t('phoneKey', { fingerprint: key.fingerprint }) : '';
  }

  showControl(settings) {
    this.login.hidden = true;
    this.control.hidden = false;
    this.account.textContent = this.t('connectedAs', settings);
  }
}
