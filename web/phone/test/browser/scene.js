// The world the browser test runs in: a private HOME and session bus with an unlocked keyring, a
// loopback mosquitto serving the assembled page from its WebSockets listener, a headless Vorn
// with `vorn-sync` bridging its cloud folder, and Debian's chromium. Every process starts in a
// process group of its own and is killed with it; the temporary folder goes too.

import { execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import { chmodSync, copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, watch, writeFileSync } from 'node:fs';
import { createServer, connect as tcpConnect } from 'node:net';
import { tmpdir, userInfo } from 'node:os';
import { join } from 'node:path';
import { performance } from 'node:perf_hooks';

export const repo = new URL('../../../../', import.meta.url).pathname;
const build = process.env.VORN_BUILD_DIR ?? join(repo, 'build');
export const binaries = {
  vorn: process.env.VORN ?? join(build, 'vorn'),
  vornSync: process.env.VORN_SYNC ?? join(build, 'vorn-sync'),
  vornPhone: process.env.VORN_PHONE ?? join(build, 'tools', 'vorn-phone'),
  page: process.env.VORN_PHONE_PAGE_DIR ?? join(build, 'phone'),
  chromium: process.env.CHROMIUM ?? '/usr/bin/chromium',
};

export function missingPieces() {
  const missing = Object.entries(binaries).filter(([, path]) => !existsSync(path)).map(([name, path]) => `${name} (${path})`);
  for (const program of ['mosquitto', 'mosquitto_passwd', 'dbus-daemon', 'gnome-keyring-daemon']) {
    try {
      execFileSync('sh', ['-c', `command -v ${program}`], { stdio: 'ignore' });
    } catch {
      missing.push(program);
    }
  }
  return missing.length ? `missing: ${missing.join(', ')}` : false;
}

export const now = () => performance.timeOrigin + performance.now();

export async function waitFor(what, condition, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value)
      return value;
    if (Date.now() > deadline)
      throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

async function freePort() {
  const server = createServer();
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  const { port } = server.address();
  server.close();
  await once(server, 'close');
  return port;
}

function portOpen(port) {
  return new Promise((resolve) => {
    const socket = tcpConnect(port, '127.0.0.1');
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

export class Scene {
  constructor() {
    this.root = mkdtempSync(join(tmpdir(), 'vorn-page-e2e-'));
    this.processes = new Set();
    this.logs = [];
    const home = join(this.root, 'home');
    this.env = {
      PATH: process.env.PATH,
      LANG: 'C.UTF-8',
      HOME: home,
      XDG_CONFIG_HOME: join(home, '.config'),
      XDG_DATA_HOME: join(home, '.local', 'share'),
      XDG_STATE_HOME: join(home, '.local', 'state'),
      XDG_CACHE_HOME: join(home, '.cache'),
      XDG_RUNTIME_DIR: join(this.root, 'runtime'),
      QT_QPA_PLATFORM: 'offscreen',
    };
    for (const folder of [this.env.XDG_CONFIG_HOME, this.env.XDG_DATA_HOME, this.env.XDG_STATE_HOME, this.env.XDG_RUNTIME_DIR])
      mkdirSync(folder, { recursive: true, mode: 0o700 });
    chmodSync(this.env.XDG_RUNTIME_DIR, 0o700);
    this.cloud = join(this.env.XDG_DATA_HOME, 'vorn', 'cloud');
    this.defaultsFile = join(this.env.XDG_CONFIG_HOME, 'vorn', 'defaults.json');
    this.user = 'ana';
    this.password = 'correct horse 7';
  }

  // Starts a program in a process group of its own; its output goes to a log kept for failures.
  start(name, program, args, { input, env } = {}) {
    const log = join(this.root, `${name}.log`);
    const child = spawn(program, args, {
      env: { ...this.env, ...env }, detached: true,
      stdio: [input === undefined ? 'ignore' : 'pipe', 'pipe', 'pipe'],
    });
    const chunks = [];
    child.stdout.on('data', (data) => chunks.push(data));
    child.stderr.on('data', (data) => chunks.push(data));
    child.output = () => Buffer.concat(chunks).toString();
    if (input !== undefined)
      child.stdin.end(input);
    child.exited = once(child, 'exit');
    this.processes.add(child);
    this.logs.push([name, child]);
    child.exited.then(() => writeFileSync(log, child.output()));
    return child;
  }

  async stop(child, signal = 'SIGTERM') {
    if (child.exitCode === null && child.signalCode === null) {
      try { process.kill(-child.pid, signal); } catch { /* already gone */ }
      const timer = setTimeout(() => { try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ } }, 5000);
      await child.exited;
      clearTimeout(timer);
    }
    // The group may hold children that outlived their parent.
    try { process.kill(-child.pid, 'SIGKILL'); } catch { /* none left */ }
    this.processes.delete(child);
  }

  async run(program, args, options = {}) {
    const child = this.start(args[0] ?? program, program, args, options);
    const [code] = await child.exited;
    this.processes.delete(child);
    if (code !== 0)
      throw new Error(`${program} ${args.join(' ')} exited with ${code}: ${child.output()}`);
    return child.output();
  }

  // A private session bus with gnome-keyring unlocked, for the Secret Service that vorn-sync
  // keeps its broker password in.
  async startSessionBus() {
    const bus = this.start('dbus', 'dbus-daemon', ['--session', '--nofork', '--print-address=1']);
    let address = '';
    await waitFor('the session bus address', () => {
      address = bus.output().split('\n')[0];
      return address.includes('=') && bus.output().includes('\n');
    });
    this.env.DBUS_SESSION_BUS_ADDRESS = address;
    const keyring = this.start('keyring', 'gnome-keyring-daemon', ['--foreground', '--unlock', '--components=secrets'], { input: 'vorn-e2e' });
    const keyringOnBus = () => execFileSync('dbus-send', [
      '--session', '--print-reply', '--dest=org.freedesktop.DBus', '/org/freedesktop/DBus',
      'org.freedesktop.DBus.NameHasOwner', 'string:org.freedesktop.secrets'], { env: this.env, encoding: 'utf8' });
    await waitFor('the keyring on the bus', () => {
      if (keyring.exitCode !== null)
        throw new Error(`gnome-keyring-daemon ended: ${keyring.output()}`);
      return keyringOnBus().includes('boolean true');
    });
  }

  // Mosquitto with a password, the per-user ACL, saving after every change and the page served
  // from its WebSockets listener; the same ports again after a restart.
  async startBroker() {
    if (!this.brokerConfig) {
      this.mqttPort = await freePort();
      this.wsPort = await freePort();
      const folder = join(this.root, 'broker');
      mkdirSync(folder, { mode: 0o700 });
      const passwords = join(folder, 'passwords');
      execFileSync('mosquitto_passwd', ['-b', '-c', passwords, this.user, this.password], { stdio: 'ignore' });
      writeFileSync(join(folder, 'acl'), 'pattern readwrite vorn/%u/#\n');
      this.brokerConfig = join(folder, 'mosquitto.conf');
      writeFileSync(this.brokerConfig, [
        `user ${userInfo().username}`,
        'per_listener_settings false',
        'allow_anonymous false',
        `password_file ${passwords}`,
        `acl_file ${join(folder, 'acl')}`,
        'persistence true',
        `persistence_location ${folder}/`,
        'autosave_interval 1',
        'autosave_on_changes true',
        'set_tcp_nodelay true',
        `listener ${this.mqttPort} 127.0.0.1`,
        `listener ${this.wsPort} lo`,
        'protocol websockets',
        `http_dir ${binaries.page}`,
        '',
      ].join('\n'));
    }
    this.broker = this.start('mosquitto', 'mosquitto', ['-c', this.brokerConfig]);
    await waitFor('mosquitto to listen', async () => {
      if (this.broker.exitCode !== null)
        throw new Error(`mosquitto ended: ${this.broker.output()}`);
      return await portOpen(this.mqttPort) && await portOpen(this.wsPort);
    });
  }

  get pageUrl() {
    return `http://127.0.0.1:${this.wsPort}/?broker=ws://127.0.0.1:${this.wsPort}&user=${this.user}`;
  }

  // vorn-sync's own setup (the password goes into the keyring), then the bridge.
  async startBridge() {
    await this.run(binaries.vornSync, ['setup', `mqtt://127.0.0.1:${this.mqttPort}`, this.user], { input: `${this.password}\n` });
    this.bridge = this.start('vorn-sync', binaries.vornSync, []);
  }

  // A blocked application: a copy of sleep named by a desktop entry that is on the block list.
  prepareVorn(registry) {
    const applications = join(this.env.XDG_DATA_HOME, 'applications');
    mkdirSync(applications, { recursive: true });
    this.blockedProgram = join(this.root, 'blocked-app');
    copyFileSync('/bin/sleep', this.blockedProgram);
    chmodSync(this.blockedProgram, 0o755);
    writeFileSync(join(applications, 'org.example.Blocked.desktop'),
                  `[Desktop Entry]\nType=Application\nName=Blocked\nExec=${this.blockedProgram}\n`);
    mkdirSync(join(this.env.XDG_CONFIG_HOME, 'vorn'), { recursive: true, mode: 0o700 });
    writeFileSync(this.defaultsFile, JSON.stringify({ isBlocking: false, blockedBundleIDs: ['org.example.Blocked'] }));
    mkdirSync(this.cloud, { recursive: true, mode: 0o700 });
    writeFileSync(join(this.cloud, 'deviceRegistry'), JSON.stringify(registry), { mode: 0o600 });
  }

  async startVorn() {
    this.vorn = this.start('vorn', binaries.vorn, []);
    // This computer's record appears in the registry once Vorn announced it.
    return waitFor('Vorn to announce this computer', () => {
      const devices = JSON.parse(execFileSync(binaries.vornPhone, ['devices', '--json'], { env: this.env, encoding: 'utf8' }));
      return devices.find((device) => device.deviceType === 'mac' && !device.stale && device.deviceName !== 'Old laptop');
    }, 15000);
  }

  storedIsBlocking() {
    try {
      return JSON.parse(readFileSync(this.defaultsFile, 'utf8')).isBlocking;
    } catch {
      return undefined; // between the rename and the read, or mid-write
    }
  }

  // Every change of the stored "isBlocking", with the moment it was seen.
  watchStoredIsBlocking() {
    this.changes = [];
    let last = this.storedIsBlocking();
    const look = () => {
      const value = this.storedIsBlocking();
      if (value !== undefined && value !== last) {
        last = value;
        this.changes.push({ at: now(), value });
      }
    };
    this.watcher = watch(join(this.env.XDG_CONFIG_HOME, 'vorn'), look);
    this.poller = setInterval(look, 200); // in case a notice is coalesced away
  }

  nextChange(value, after) {
    return waitFor(`Vorn's stored isBlocking to become ${value}`,
                   () => this.changes.find((change) => change.at >= after && change.value === value), 10000);
  }

  logsOnFailure() {
    return this.logs.map(([name, child]) => `---- ${name}\n${child.output().slice(-3000)}`).join('\n');
  }

  async close() {
    this.watcher?.close();
    clearInterval(this.poller);
    for (const child of [...this.processes].reverse())
      await this.stop(child);
    rmSync(this.root, { recursive: true, force: true });
  }
}
