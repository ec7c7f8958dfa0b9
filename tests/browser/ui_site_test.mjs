// The web user interface from another host of the site network: headless Chromium
// against a backend opened to the sandbox's network (ORVA_LISTEN_ADDRESS=0.0.0.0) with one
// user. The browser names the backend by its address 10.99.0.1, which is not loopback, so
// the pages, the REST calls and the WebSocket all need the password; then the same over
// HTTPS and WSS with a certificate made here. Loopback (the test's own REST calls) stays
// open.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { writeFileSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { simulator, backend, launch_browser, discover, sandbox_interface, wait_for, frame_row, stop_all } from './harness.mjs';

const amp = '00000001:00000001';
const user = { username: 'alice', password: 'correct horse' };
let sim;
let server;
let browser;
const page_errors = [];

// A page in a fresh browser context (its own credentials cache), with script errors kept.
async function open_page(options) {
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 }, ...options });
  const page = await context.newPage();
  page.on('pageerror', (error) => page_errors.push(error.message));
  return page;
}

before(async () => {
  sim = new simulator([amp]);
  await sim.ready();
  await sim.command(`set ${amp} Dev.FrameLabel?|Stage left`);
  server = new backend({ ORVA_LISTEN_ADDRESS: '0.0.0.0' });
  server.set_password(user.username, user.password);
  await server.start();
  browser = await launch_browser();
});

after(() => stop_all({ browser, server, sim }));

test('without the password, or with a wrong one, the browser gets no page from another host', async () => {
  // The headless browser has no one to ask: the refusal (401) ends the navigation.
  for (const options of [{}, { httpCredentials: { ...user, password: 'guess' } }]) {
    const page = await open_page(options);
    await assert.rejects(page.goto(`http://${sandbox_interface}:8080/`), /ERR_INVALID_AUTH_CREDENTIALS|ERR_HTTP_RESPONSE_CODE_FAILURE/);
    await page.context().close();
  }
});

test('with the password the interface works live: broadcasts arrive and a mute reaches the amplifier', async () => {
  const page = await open_page({ httpCredentials: user });
  await page.goto(`http://${sandbox_interface}:8080/#frames`);
  await page.getByText('Connected', { exact: true }).waitFor({ timeout: 10000 });
  // Discovery posted over loopback: the page learns of it only through its WebSocket.
  await discover();
  await frame_row(page, 'Stage left').locator('.badge', { hasText: 'Online' }).waitFor({ timeout: 20000 });
  await frame_row(page, 'Stage left').getByRole('link').click();
  await page.getByRole('heading', { name: 'Stage left' }).waitFor();
  const mark = (await sim.command('received')).length - 1;
  await page.getByRole('button', { name: 'Mute channel 1' }).click();
  await wait_for(async () => {
    const lines = (await sim.command('received')).slice(1);
    return lines.slice(mark).some((line) => /Dev\.Pwr\.Mute=1 ?1$/.test(line));
  }, 'the amplifier to receive the mute');
  await page.context().close();
});

test('over HTTPS the interface and its WebSocket (WSS) work with the password', async () => {
  const pem = join(server.home, 'orva.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', `/CN=${sandbox_interface}`,
    '-keyout', join(server.home, 'key.pem'), '-out', join(server.home, 'cert.pem')], { stdio: 'ignore' });
  writeFileSync(pem, readFileSync(join(server.home, 'cert.pem'), 'utf8') + readFileSync(join(server.home, 'key.pem'), 'utf8'));
  await server.stop();
  server.environment.ORVA_TLS_CERT = pem;
  await server.start();

  const page = await open_page({ httpCredentials: user, ignoreHTTPSErrors: true });
  const sockets = [];
  page.on('websocket', (socket) => sockets.push(socket.url()));
  await page.goto(`https://${sandbox_interface}:8080/#frames`);
  await page.getByText('Connected', { exact: true }).waitFor({ timeout: 10000 });
  assert.deepEqual(sockets, [`wss://${sandbox_interface}:8080/`]);
  await discover(server.url);
  await frame_row(page, 'Stage left').locator('.badge', { hasText: 'Online' }).waitFor({ timeout: 20000 });
  await page.context().close();
});

test('the pages ran without script errors', () => {
  assert.deepEqual(page_errors, []);
});
