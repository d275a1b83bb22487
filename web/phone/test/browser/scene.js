// The world of the browser test: a private HOME and session bus with an unlocked keyring, a
// loopback broker started by `vorn-sync local-broker` (serving the assembled page), a headless Vorn
// and vorn-sync bridging its cloud folder. Each process runs in a process group of its own that
// is killed at the end, and the temporary folder goes too.

import { execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, watch, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { performance } from 'node:perf_hooks';

export const repo = new URL('../../../../', import.meta.url).pathname;
const build = process.env.VORN_BUILD_DIR ?? join(repo, 'build');
export const binaries = {
  vorn: join(build, 'vorn'), vornSync: join(build, 'vorn-sync'), vornPhone: join(build, 'tools', 'vorn-phone'),
  page: join(build, 'phone', 'index.html'), chromium: '/usr/bin/chromium',
};
export const missing = Object.values(binaries).filter((path) => !existsSync(path)).join(', ');
export const now = () => performance.timeOrigin + performance.now();

export async function waitFor(what, condition, timeoutMs = 10000) {
  for (const deadline = Date.now() + timeoutMs; !(await condition());) {
    if (Date.now() > deadline)
      throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

async function freePort() {
  const server = createServer().listen(0, '127.0.0.1');
  await once(server, 'listening');
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}

export class Scene {
  constructor() {
    this.root = mkdtempSync(join(tmpdir(), 'vorn-page-e2e-'));
    const home = join(this.root, 'home');
    this.env = {
      PATH: process.env.PATH, LANG: 'C.UTF-8', HOME: home, QT_QPA_PLATFORM: 'offscreen',
      XDG_CONFIG_HOME: join(home, 'config'), XDG_DATA_HOME: join(home, 'data'),
      XDG_STATE_HOME: join(home, 'state'), XDG_CACHE_HOME: join(home, 'cache'), XDG_RUNTIME_DIR: join(this.root, 'run'),
    };
    this.processes = new Set();
    this.cloud = join(this.env.XDG_DATA_HOME, 'vorn', 'cloud');
    this.defaultsFile = join(this.env.XDG_CONFIG_HOME, 'vorn', 'defaults.json');
    for (const folder of [...Object.values(this.env).filter((value) => value.startsWith(this.root)), this.cloud, dirname(this.defaultsFile)])
      mkdirSync(folder, { recursive: true, mode: 0o700 });
  }

  start(program, args, input) {
    const child = spawn(program, args, { env: this.env, detached: true, stdio: [input === undefined ? 'ignore' : 'pipe', 'pipe', 'pipe'] });
    let output = '';
    child.stdout.on('data', (data) => { output += data; });
    child.stderr.on('data', (data) => { output += data; });
    child.stdin?.end(input);
    child.output = () => `---- ${program} ${args.join(' ')}\n${output.slice(-3000)}`;
    child.exited = once(child, 'exit');
    this.processes.add(child);
    return child;
  }

  async stop(child) {
    for (const signal of ['SIGTERM', 'SIGKILL']) { // the group may hold children that outlived it
      try { process.kill(-child.pid, signal); } catch { /* gone */ }
      if (signal === 'SIGTERM')
        await Promise.race([child.exited, new Promise((resolve) => setTimeout(resolve, 5000))]);
    }
    await child.exited;
    this.processes.delete(child);
  }

  // A session bus with gnome-keyring unlocked: vorn-sync keeps its broker password there.
  async startSessionBus() {
    const bus = this.start('dbus-daemon', ['--session', '--nofork', '--print-address=1']);
    const address = () => bus.output().split('\n').find((line) => line.startsWith('unix:'));
    await waitFor('the session bus', address);
    this.env.DBUS_SESSION_BUS_ADDRESS = address();
    const keyring = this.start('gnome-keyring-daemon', ['--foreground', '--unlock', '--components=secrets'], 'pw');
    await waitFor('the keyring', () => keyring.exitCode === null && execFileSync('dbus-send', [
      '--session', '--print-reply', '--dest=org.freedesktop.DBus', '/org/freedesktop/DBus',
      'org.freedesktop.DBus.NameHasOwner', 'string:org.freedesktop.secrets'], { env: this.env, encoding: 'utf8' }).includes('true'));
  }

  // `vorn-sync local-broker`, as a user tries Vorn on one machine: mosquitto with a password and
  // the per-user ACL, serving the assembled page from its WebSockets listener, and this computer's
  // bridge set up for it; the same ports and password again when restarted.
  async startBroker() {
    if (!this.wsPort)
      [this.mqttPort, this.wsPort] = [await freePort(), await freePort()];
    this.broker = this.start(binaries.vornSync, ['local-broker', '--port', String(this.mqttPort), '--ws-port', String(this.wsPort)]);
    await waitFor('the local broker', () => this.broker.output().includes('Ctrl+C'));
    [, this.user, this.password] = this.broker.output().match(/^user (\S+), password (\S+)$/m);
  }

  get pageUrl() {
    return `http://127.0.0.1:${this.wsPort}/?broker=ws://127.0.0.1:${this.wsPort}&user=${this.user}`;
  }

  // Vorn, not blocking, with a registry that already holds other devices, noting every change of
  // its stored "isBlocking" with the moment it was seen; resolves to this computer's record.
  async startVorn(registry) {
    writeFileSync(join(this.cloud, 'deviceRegistry'), JSON.stringify(registry));
    this.changes = [];
    let last = false;
    this.watcher = watch(join(this.env.XDG_CONFIG_HOME, 'vorn'), () => {
      let value;
      try { value = JSON.parse(readFileSync(this.defaultsFile, 'utf8')).isBlocking; } catch { return; }
      if (value !== last)
        this.changes.push({ at: now(), value: (last = value) });
    });
    this.vorn = this.start(binaries.vorn, []);
    let record;
    await waitFor('Vorn to announce this computer', () => {
      const devices = JSON.parse(execFileSync(binaries.vornPhone, ['devices', '--json'], { env: this.env, encoding: 'utf8' }));
      return (record = devices.find((device) => !(device.id in registry)));
    }, 15000);
    return record;
  }

  async storedIsBlockingBecomes(value, after) {
    let change;
    await waitFor(`Vorn's stored isBlocking to become ${value}`,
                  () => (change = this.changes.find((c) => c.at >= after && c.value === value)));
    return change;
  }

  logs() {
    return [...this.processes].map((child) => child.output()).join('\n');
  }

  async close() {
    this.watcher?.close();
    for (const child of [...this.processes].reverse())
      await this.stop(child);
    rmSync(this.root, { recursive: true, force: true });
  }
}
