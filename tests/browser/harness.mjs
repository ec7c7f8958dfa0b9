// What the browser tests and the UI benchmark share: the simulated amplifiers, the real
// backend from the installation folder, headless Chromium, and waiting with a deadline.
//
// Run inside the network sandbox (scripts/sandbox.sh): the backend discovers the
// simulated amplifiers on orva0 (10.99.0.1), and port 8080 is the sandbox's own.

import { spawn, execFileSync } from 'node:child_process';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, mkdirSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';
import http from 'node:http';
import https from 'node:https';

const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(import.meta.url);
const { chromium } = require('playwright-core');

export const bin_dir = process.env.ORVA_BIN_DIR || join(here, '../../build/bin');
export const base_url = 'http://127.0.0.1:8080';
export const sandbox_interface = '10.99.0.1';

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Calls `probe` until it returns a truthy value; throws with `what` after `timeout_ms`.
export async function wait_for(probe, what, timeout_ms = 10000, pause_ms = 50) {
  const deadline = Date.now() + timeout_ms;
  let last_error = null;
  for (;;) {
    try {
      const value = await probe();
      if (value) return value;
    } catch (e) {
      last_error = e;
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}${last_error ? ': ' + last_error.message : ''}`);
    await sleep(pause_ms);
  }
}

// A simulator (orva_mira_sim with the Mira amplifiers `amps`, or `program` with
// `options`) with its control channel on standard input and output.
export class simulator {
  constructor(amps, program = 'orva_mira_sim', options = []) {
    const args = ['--control', ...options];
    for (const amp of amps) args.push('--amp', amp);
    this.child = spawn(join(bin_dir, program), args, { stdio: ['pipe', 'pipe', 'inherit'] });
    this.buffer = '';
    this.lines = [];
    this.waiters = [];
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (data) => {
      this.buffer += data;
      let at;
      while ((at = this.buffer.indexOf('\n')) >= 0) {
        this.lines.push(this.buffer.slice(0, at));
        this.buffer = this.buffer.slice(at + 1);
      }
      this.wake();
    });
    this.queue = Promise.resolve();
  }

  wake() {
    const waiters = this.waiters;
    this.waiters = [];
    waiters.forEach((w) => w());
  }

  async line() {
    const deadline = Date.now() + 5000;
    while (!this.lines.length) {
      if (Date.now() > deadline) throw new Error('the simulator does not answer');
      await new Promise((resolve) => {
        this.waiters.push(resolve);
        setTimeout(resolve, 200);
      });
    }
    return this.lines.shift();
  }

  async ready() {
    const line = await this.line();
    if (!line.startsWith('ready')) throw new Error(`simulator: ${line}`);
  }

  // Sends one control command; resolves with its answer lines. Throws on "error".
  command(text) {
    const run = async () => {
      this.child.stdin.write(`${text}\n`);
      const first = await this.line();
      if (!first.startsWith('ok')) throw new Error(`simulator ${text}: ${first}`);
      const lines = [first];
      if (text === 'received') {
        const count = Number(first.split(' ')[1]);
        for (let i = 0; i < count; i += 1) lines.push(await this.line());
      }
      return lines;
    };
    const result = this.queue.then(run, run);
    this.queue = result.catch(() => {});
    return result;
  }

  // The text commands the amplifiers received since the last `clear`.
  async received_texts() {
    const lines = await this.command('received');
    return lines.slice(1);
  }

  stop() {
    this.child.stdin.end();
    return new Promise((resolve) => {
      if (this.child.exitCode !== null) resolve();
      else this.child.on('exit', resolve);
    });
  }
}

// GET of `path` on the backend, over loopback (`url` names another base, e.g. https://).
function get(path, url = base_url) {
  return new Promise((resolve, reject) => {
    const client = url.startsWith('https:') ? https : http;
    // A test's self-signed certificate: only the answer matters here.
    const options = url.startsWith('https:') ? { rejectUnauthorized: false } : {};
    const request = client.get(`${url}${path}`, options, (response) => {
      let body = '';
      response.setEncoding('utf8');
      response.on('data', (d) => (body += d));
      response.on('end', () => resolve({ status: response.statusCode, body, headers: response.headers }));
    });
    request.on('error', reject);
    request.setTimeout(5000, () => request.destroy(new Error('time-out')));
  });
}

export function post(path, body, url = base_url) {
  return new Promise((resolve, reject) => {
    const text = JSON.stringify(body);
    const client = url.startsWith('https:') ? https : http;
    const request = client.request(`${url}${path}`, { rejectUnauthorized: false, method: 'POST', headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) } }, (response) => {
      let answer = '';
      response.setEncoding('utf8');
      response.on('data', (d) => (answer += d));
      response.on('end', () => resolve({ status: response.statusCode, body: answer }));
    });
    request.on('error', reject);
    request.end(text);
  });
}

export { get };

// orva_backend from the installation folder, with its data and documents folders in a
// fresh temporary folder (kept across restarts of the same object). `environment` is
// added to the backend's (ORVA_LISTEN_ADDRESS, ORVA_TLS_CERT, ...).
export class backend {
  constructor(environment = {}) {
    this.home = mkdtempSync(join(tmpdir(), 'orva-ui-'));
    mkdirSync(join(this.home, 'data'), { recursive: true });
    this.environment = environment;
    this.child = null;
  }

  get env() {
    return { ...process.env, HOME: this.home, XDG_DATA_HOME: join(this.home, 'data'), XDG_DOCUMENTS_DIR: join(this.home, 'Documents'), ...this.environment };
  }

  // The loopback address of the web UI: https:// with a certificate.
  get url() {
    return this.environment.ORVA_TLS_CERT ? base_url.replace('http:', 'https:') : base_url;
  }

  // A user of the site network, set as an administrator does it (the password on standard input).
  set_password(user, password) {
    execFileSync(join(bin_dir, 'orva_backend'), ['--set-password', user], { env: this.env, input: `${password}\n`, stdio: ['pipe', 'ignore', 'inherit'] });
  }

  async start() {
    this.child = spawn(join(bin_dir, 'orva_backend'), [], { stdio: ['ignore', 'ignore', 'inherit'], env: this.env });
    const child = this.child;
    this.exited = new Promise((resolve) => child.on('exit', resolve));
    await wait_for(async () => (await get('/api/version/', this.url)).status === 200, 'the backend to answer', 15000, 100);
  }

  async stop() {
    if (!this.child || this.child.exitCode !== null) return;
    this.child.kill('SIGINT');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 15000);
    await this.exited;
    clearTimeout(timer);
  }

  remove() {
    rmSync(this.home, { recursive: true, force: true });
  }
}

export const browser_flags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

export function launch_browser() {
  return chromium.launch({ executablePath: process.env.ORVA_CHROMIUM || '/usr/bin/chromium', args: browser_flags });
}

// Discovers the simulated amplifiers through the REST API (used by the benchmark and the
// site network test; the interface test discovers through the user interface).
export async function discover(url = base_url) {
  await post('/requests', { method: 'refresh', network_interface: sandbox_interface }, url);
}

// Where the tests leave their screenshots ($ORVA_UI_ARTEFACTS, default build/ui_screenshots).
export function artefacts_folder() {
  const folder = process.env.ORVA_UI_ARTEFACTS || join(bin_dir, '../ui_screenshots');
  mkdirSync(folder, { recursive: true });
  return folder;
}

let axe_source = null;

// Runs axe-core on the page: no serious or critical violation. The script is evaluated by
// the test driver, so the page's content security policy does not apply to it.
export async function check_accessibility(page, screen) {
  axe_source ??= readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
  await page.evaluate(axe_source);
  const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  const bad = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  assert.deepEqual(bad.map((v) => `${v.id}: ${v.help} (${v.nodes.map((n) => n.target.join(' ')).join(', ')})`), [],
    `accessibility of ${screen}`);
}

// The row of the frames table whose name link reads `name`.
export function frame_row(page, name) {
  return page.locator('tr.frame-row', { has: page.locator(`a:text-is("${name}")`) });
}

// Ends a test file's browser, backend (its folder removed) and simulator, those started.
export async function stop_all({ browser, server, sim }) {
  if (browser) await browser.close();
  if (server) {
    await server.stop();
    server.remove();
  }
  if (sim) await sim.stop();
}
