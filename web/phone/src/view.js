// What the page shows: the sign-in form, the link badge, the switch, the published state and the
// device list, drawn from the page's state (see app.js). Device names come from other devices and
// may hold any text, bidirectional controls included: each is isolated in an element of its own.

import { dayNames, millisFromReferenceSeconds } from './records.js';
import { relativeTime } from './texts.js';
import { leftText, minutesLeft, sessionNow } from './timing.js';

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
      sessionLine: 'session-line', sessionOptions: 'session-options', untilRow: 'until-row',
      untilTime: 'until-time', lock: 'lock', lockDialog: 'lock-dialog', lockQuestion: 'lock-question',
      lockConfirm: 'lock-confirm', lockHint: 'lock-hint', scheduleMessage: 'schedule-message',
      windows: 'windows', windowForm: 'window-form', dayToggles: 'day-toggles',
      windowStart: 'window-start', windowEnd: 'window-end', windowLock: 'window-lock',
      scheduleResult: 'schedule-result', windowHeading: 'window-heading', windowAdd: 'window-add',
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
    // One toggle per day, Monday first, named in the page's language.
    const weekday = (style) => new Intl.DateTimeFormat(this.locale, { weekday: style });
    this.dayToggles.replaceChildren(...dayNames.map((day, i) => {
      const date = new Date(2024, 0, 1 + i); // a Monday
      const label = this.document.createElement('label');
      const box = this.document.createElement('input');
      const text = this.document.createElement('span');
      label.className = 'chip';
      box.type = 'checkbox';
      box.value = day;
      box.setAttribute('aria-label', weekday('long').format(date));
      text.textContent = weekday('short').format(date);
      label.append(box, text);
      return label;
    }));
  }

  // A moment as the phone writes a time of day ("17:00", "5:00 PM"), with the weekday when it is
  // not today.
  formatClock(millis) {
    const date = new Date(millis);
    const today = date.toDateString() === new Date().toDateString();
    return new Intl.DateTimeFormat(this.locale, today ? { timeStyle: 'short' }
                                                      : { weekday: 'short', hour: 'numeric', minute: '2-digit' }).format(date);
  }

  // "HH:MM" of a schedule as the phone writes a time of day.
  formatTimeOfDay(text) {
    const [hours, minutes] = text.split(':').map(Number);
    return new Intl.DateTimeFormat(this.locale, { timeStyle: 'short' }).format(new Date(2024, 0, 1, hours, minutes));
  }

  // Days as "Mon–Fri" for a run of three or more, else "Sat, Sun".
  formatDays(days) {
    const name = (day) => new Intl.DateTimeFormat(this.locale, { weekday: 'short' })
                            .format(new Date(2024, 0, 1 + dayNames.indexOf(day)));
    const runs = [];
    for (const day of dayNames.filter((d) => days.includes(d))) {
      const run = runs.at(-1);
      if (run && dayNames.indexOf(run.at(-1)) === dayNames.indexOf(day) - 1)
        run.push(day);
      else
        runs.push([day]);
    }
    return runs.map((run) => (run.length >= 3 ? `${name(run[0])}–${name(run.at(-1))}` : run.map(name).join(', '))).join(', ');
  }

  chosenDuration() {
    return this.sessionOptions.querySelector('input[name="duration"]:checked')?.value ?? 'none';
  }

  // The form adds a window, or (editing: a window) changes that one in place.
  editWindow(window) {
    const { t } = this;
    this.windowHeading.textContent = t(window ? 'scheduleChangeHeading' : 'scheduleAddHeading');
    this.windowAdd.textContent = t(window ? 'scheduleSave' : 'scheduleAdd');
    if (!window)
      return;
    for (const box of this.dayToggles.querySelectorAll('input'))
      box.checked = window.days.includes(box.value);
    this.windowStart.value = window.start;
    this.windowEnd.value = window.end;
    this.windowLock.checked = window.locked === true;
    this.windowForm.scrollIntoView({ block: 'nearest' });
  }

  chosenDays() {
    return [...this.dayToggles.querySelectorAll('input:checked')].map((box) => box.value);
  }

  // The choices for starting a session: a time for "Until…", a lock only with an end.
  renderOptions() {
    const choice = this.chosenDuration();
    this.untilRow.hidden = choice !== 'until';
    this.lock.disabled = choice === 'none';
    if (this.lock.disabled)
      this.lock.checked = false;
    this.lockHint.textContent = this.t(this.lock.disabled ? 'lockNeedsEnd' : 'lockHint');
  }

  // Asks before a lock; resolves to whether the user confirmed.
  confirmLock(time) {
    this.lockQuestion.textContent = this.t('confirmLock', { time });
    this.lockConfirm.textContent = this.t('confirmLockYes', { time });
    this.lockDialog.returnValue = '';
    this.lockDialog.showModal();
    return new Promise((resolve) => this.lockDialog.addEventListener('close', () => resolve(this.lockDialog.returnValue === 'lock'), { once: true }));
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

  // The switch shows the published state as the computers take it now: a session whose end has
  // passed is off; a locked one cannot be switched off before its lock ends.
  renderSwitch(page, now = Date.now()) {
    const { t } = this;
    const session = sessionNow(page.published, now);
    const on = session.blocking;
    const locked = session.lockedUntil !== undefined;
    this.document.body.dataset.blocking = String(on);
    this.toggle.setAttribute('aria-checked', String(on));
    this.toggle.setAttribute('aria-busy', String(page.sending));
    this.toggle.disabled = locked;
    this.switchWord.textContent = on ? t('switchOn') : t('switchOff');
    this.switchHint.textContent = locked ? t('switchHintLocked', { time: this.formatClock(session.lockedUntil) })
                                : on ? t('switchHintOn') : t('switchHintOff');
    this.sessionOptions.hidden = on;
    this.sessionLine.hidden = session.ends === undefined;
    this.sessionLine.dataset.locked = String(locked);
    if (session.ends !== undefined)
      this.sessionLine.textContent = t('sessionUntil', { time: this.formatClock(session.ends),
                                                        left: leftText(t, minutesLeft(session.ends, now)) });
  }

  renderSchedule(page) {
    const { t } = this;
    const schedule = page.oversized.has('blockSchedule') ? null : page.schedule;
    this.windows.replaceChildren();
    this.scheduleMessage.textContent = schedule === null ? t('scheduleUnreadable')
                                     : schedule?.windows.length ? '' : t('scheduleNone');
    const names = this.deviceNames(page);
    schedule?.windows.forEach((window, index) => {
      const item = this.document.createElement('li');
      const text = this.document.createElement('span');
      const when = this.document.createElement('span');
      const meta = this.document.createElement('span');
      const remove = this.document.createElement('button');
      const change = this.document.createElement('button');
      item.className = 'window';
      text.className = 'device-text';
      when.className = 'device-name';
      meta.className = 'device-meta';
      when.textContent = `${this.formatDays(window.days)} · ${this.formatTimeOfDay(window.start)}–${this.formatTimeOfDay(window.end)}`;
      const targets = window.targetDeviceIDs.map((id) => {
        const name = this.document.createElement('bdi');
        name.textContent = names.get(id) ?? t('unknownDevice', { id: id.slice(0, 8) });
        return name;
      });
      meta.append(...(targets.length ? targets.flatMap((name, i) => (i ? [', ', name] : [name])) : [t('scheduleNoTargets')]));
      if (window.locked)
        meta.append(` · ${t('scheduleLocked')}`);
      item.dataset.locked = String(window.locked === true);
      remove.type = 'button';
      remove.className = 'link-button';
      remove.dataset.index = String(index);
      remove.textContent = t('scheduleRemove');
      remove.setAttribute('aria-label', t('scheduleRemoveLabel', { window: when.textContent }));
      change.type = 'button';
      change.className = 'link-button';
      change.dataset.change = String(index);
      change.textContent = t('scheduleChange');
      change.setAttribute('aria-label', t('scheduleChangeLabel', { window: when.textContent }));
      text.append(when, meta);
      item.append(text, change, remove);
      this.windows.append(item);
    });
  }

  deviceNames(page) {
    return new Map((Array.isArray(page.registry) ? page.registry : []).map((r) => [r.id, r.deviceName]));
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
    const names = this.deviceNames(page);
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
                  name: document.createElement('bdi'), meta: document.createElement('span'),
                  held: document.createElement('span') };
    row.item.className = 'device';
    row.item.dataset.deviceId = id;
    row.box.type = 'checkbox';
    row.box.dataset.deviceId = id;
    const label = document.createElement('label');
    const text = document.createElement('span');
    text.className = 'device-text';
    row.name.className = 'device-name';
    row.meta.className = 'device-meta';
    row.held.className = 'device-held';
    text.append(row.name, row.meta, row.held);
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
    // Why the device did not apply the latest state; a lock that has ended says nothing more.
    const held = device.heldBack;
    const until = held?.until === undefined ? undefined : millisFromReferenceSeconds(held.until);
    set(row.held, held?.reason === 'locked' && until > now ? t('heldLocked', { time: this.formatClock(until) })
                : held?.reason === 'unsigned' ? t('heldUnsigned') : '');
  }

  showResult(kind, text) {
    this.result.dataset.result = kind;
    this.result.textContent = text;
  }

  showScheduleResult(kind, text) {
    this.scheduleResult.dataset.result = kind;
    this.scheduleResult.textContent = text;
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
