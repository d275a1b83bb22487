// The phone page in Debian's chromium against a real Vorn: the page lists the computer that Vorn
// announced through vorn-sync, its switch turns blocking on and off there (a blocked program is
// closed), the broker restarts under the open page, and tap-to-isBlocking is measured over 50 taps.

import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { chromium } from 'playwright-core';

import { binaries, missingPieces, now, repo, Scene, waitFor } from './scene.js';

const skip = missingPieces();
const taps = Number(process.env.VORN_PAGE_TAPS ?? 50);
const screenshots = process.env.VORN_SCREENSHOT_DIR ?? join(repo, 'screenshots');
const day = 86400;
const referenceNow = () => Date.now() / 1000 - 978307200;

let scene;
let browser;
let page;
let computer;

before(async () => {
  if (skip)
    return;
  scene = new Scene();
  scene.prepareVorn({
    old: { id: 'old', deviceType: 'mac', deviceName: 'Old laptop', lastSeenAt: referenceNow() - 40 * day },
    phone: { id: 'phone', deviceType: 'iPhone', deviceName: 'Ana’s phone', lastSeenAt: referenceNow() - 3600 },
  });
  await scene.startSessionBus();
  await scene.startBroker();
  await scene.startBridge();
  computer = await scene.startVorn();
  scene.watchStoredIsBlocking();
  browser = await chromium.launch({
    executablePath: binaries.chromium,
    headless: true,
    chromiumSandbox: false,
    args: ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, locale: 'en-GB', colorScheme: 'light' });
  page = await context.newPage();
  page.on('pageerror', (error) => { scene.pageErrors = [...(scene.pageErrors ?? []), String(error)]; });
});

after(async () => {
  await browser?.close();
  await scene?.close();
});

async function resultText() {
  return page.locator('#send-result').textContent();
}

// Taps the switch and returns when the page says the broker acknowledged it, with the moment of
// the tap as the page saw it.
async function tapSwitch() {
  await page.evaluate(() => {
    document.getElementById('switch').addEventListener('click', () => {
      window.tappedAt = performance.timeOrigin + performance.now();
    }, { once: true, capture: true });
  });
  await page.click('#switch');
  await waitFor('the page to say "Sent"', async () => (await resultText()).startsWith('Sent'));
  return page.evaluate(() => window.tappedAt);
}

// At 360 px nothing scrolls sideways, and every visible control offers 44 px each way.
async function checkLayout() {
  await page.setViewportSize({ width: 360, height: 740 });
  const layout = await page.evaluate(() => ({
    overflow: document.documentElement.scrollWidth - window.innerWidth,
    // A tick box is reached through its label, which is then the touch target.
    small: [...document.querySelectorAll('button, input')]
      .filter((element) => element.offsetParent !== null)
      .map((element) => (element.type === 'checkbox' ? element.closest('label') ?? element.labels[0] : element))
      .map((element) => ({ what: element.id || element.textContent || element.tagName, box: element.getBoundingClientRect() }))
      .filter(({ box }) => box.height < 44 || box.width < 44)
      .map(({ what, box }) => `${what} ${box.width}x${box.height}`),
  }));
  assert.equal(layout.overflow, 0);
  assert.deepEqual(layout.small, []);
  await page.setViewportSize({ width: 390, height: 844 });
}

test('the phone page switches blocking on a real Vorn', { skip }, async (t) => {
  const failed = () => t.diagnostic(scene.logsOnFailure());

  await t.test('it signs in with the address and user from its URL', async () => {
    await page.goto(scene.pageUrl);
    assert.equal(await page.inputValue('#broker'), `ws://127.0.0.1:${scene.wsPort}`);
    assert.equal(await page.inputValue('#user'), scene.user);
    await checkLayout();
    await page.fill('#password', 'wrong');
    await page.click('#connect');
    await page.locator('#login-error', { hasText: 'refused the user or password' }).waitFor();
    await page.fill('#password', scene.password);
    await page.click('#connect');
    await page.locator('#link[data-link="online"]').waitFor();
  });

  await t.test('it lists the devices, the announced computer ticked, the stale one dimmed', async () => {
    try {
      await page.locator('.device', { hasText: computer.deviceName }).waitFor({ timeout: 10000 });
    } catch (error) {
      failed();
      throw error;
    }
    const rows = await page.$$eval('.device', (items) => items.map((item) => ({
      name: item.querySelector('.device-name').textContent,
      ticked: item.querySelector('input').checked,
      stale: item.dataset.stale,
      meta: item.querySelector('.device-meta').textContent,
    })));
    assert.deepEqual(rows.map((row) => [row.name, row.ticked, row.stale]), [
      ['Ana’s phone', false, 'false'], [computer.deviceName, true, 'false'], ['Old laptop', false, 'true'],
    ].sort((a, b) => (a[2] === b[2] ? a[0].localeCompare(b[0], undefined, { sensitivity: 'base' }) : a[2] === 'true' ? 1 : -1)));
    assert.match(rows.find((row) => row.name === 'Ana’s phone').meta, /^Phone · last seen 1 hour ago$/);
    assert.match(rows.find((row) => row.name === 'Old laptop').meta, /^Computer · last seen last month · not seen for 30 days$/);
  });

  await t.test('the device list reads well at 360 px with touch targets of 44 px', checkLayout);

  await t.test('screenshots at 390×844, light and dark', async () => {
    mkdirSync(screenshots, { recursive: true });
    await page.emulateMedia({ reducedMotion: 'reduce' }); // no colour transition under way
    await page.screenshot({ path: join(screenshots, 'phone-page-light.png') });
    await page.emulateMedia({ colorScheme: 'dark' });
    await page.screenshot({ path: join(screenshots, 'phone-page-dark.png') });
    await page.emulateMedia({ colorScheme: 'light' });
  });

  await t.test('the switch turns blocking on and closes the blocked program', async () => {
    const blocked = scene.start('blocked-app', scene.blockedProgram, ['600']);
    assert.equal(await page.getAttribute('#switch', 'aria-checked'), 'false');
    const tappedAt = await tapSwitch();
    try {
      await scene.nextChange(true, tappedAt - 1);
    } catch (error) {
      failed();
      throw error;
    }
    const [, signal] = await blocked.exited;
    assert.equal(signal, 'SIGKILL');
    await waitFor('the switch to show on', async () => (await page.getAttribute('#switch', 'aria-checked')) === 'true');
    assert.match(await page.locator('#state-line').textContent(), /^Blocking is on, since \d/);
  });

  await t.test('and off again', async () => {
    const tappedAt = await tapSwitch();
    await scene.nextChange(false, tappedAt - 1);
    await waitFor('the switch to show off', async () => (await page.getAttribute('#switch', 'aria-checked')) === 'false');
  });

  await t.test('the broker restarts under the open page', async () => {
    await scene.stop(scene.broker);
    await page.locator('#link[data-link="offline"]').waitFor({ timeout: 15000 });
    await page.click('#switch');
    assert.equal(await resultText(), 'Not sent: there is no connection to the broker.');
    await scene.startBroker();
    await page.locator('#link[data-link="online"]').waitFor({ timeout: 15000 });
    const tappedAt = await tapSwitch();
    await scene.nextChange(true, tappedAt - 1);
    const offAt = await tapSwitch();
    await scene.nextChange(false, offAt - 1);
  });

  await t.test('German texts on a German phone', async () => {
    const context = await browser.newContext({ viewport: { width: 390, height: 844 }, locale: 'de-DE' });
    const german = await context.newPage();
    await german.goto(scene.pageUrl);
    assert.equal(await german.locator('label[for="password"]').textContent(), 'Passwort');
    assert.equal(await german.locator('label[for="remember"]').textContent(), 'Auf diesem Telefon merken');
    await context.close();
  });

  await t.test(`tap to Vorn's stored isBlocking over ${taps} taps`, async () => {
    const latencies = [];
    for (let i = 0; i < taps; ++i) {
      const expected = (await page.getAttribute('#switch', 'aria-checked')) !== 'true';
      const tappedAt = await tapSwitch();
      const change = await scene.nextChange(expected, tappedAt - 1);
      latencies.push(change.at - tappedAt);
      await waitFor('the page to follow', async () => (await page.getAttribute('#switch', 'aria-checked')) === String(expected));
    }
    latencies.sort((a, b) => a - b);
    const at = (q) => latencies[Math.min(latencies.length - 1, Math.ceil(q * latencies.length) - 1)];
    t.diagnostic(`tap → stored isBlocking over ${taps} taps: median ${at(0.5).toFixed(1)} ms, p99 ${at(0.99).toFixed(1)} ms, max ${latencies.at(-1).toFixed(1)} ms`);
    console.log(`phone page: tap → stored isBlocking over ${taps} taps: median ${at(0.5).toFixed(1)} ms, p99 ${at(0.99).toFixed(1)} ms, max ${latencies.at(-1).toFixed(1)} ms`);
  });

  assert.deepEqual(scene.pageErrors ?? [], []);
});
