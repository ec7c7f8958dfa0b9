// End-to-end tests of the web user interface with Tesira-hosted amplifiers: headless
// Chromium against the real backend and a simulated Tesira server that asks for a login,
// inside the network sandbox (the server listens on 10.99.0.2:23). The steps build on
// each other: the import brings the frames, the login lets them come online, a download
// reads their settings, then a setting is edited.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { simulator, backend, launch_browser, base_url, wait_for, get, artefacts_folder,
  check_accessibility as check_page_accessibility, frame_row, stop_all } from './harness.mjs';

const artefacts = artefacts_folder();

const server_address = '10.99.0.2';
const system_name = 'Hall System';
const hall_file = `<?xml version="1.0" encoding="UTF-8"?>
<Tesira version="3.1">
  <System name="${system_name}"/>
  <Blocks count="2">
    <AmpBlock instanceTag="AmpA" proxyIPAddress="${server_address}"><ampName>Hall left</ampName></AmpBlock>
    <AmpBlock instanceTag="Amp B" proxyIPAddress="${server_address}"><ampName>Hall right</ampName></AmpBlock>
  </Blocks>
</Tesira>
`;

let sim;
let server;
let browser;
let page;
const page_errors = [];

function check_accessibility(screen) {
  return check_page_accessibility(page, screen);
}

function row_of(name) {
  return frame_row(page, name);
}

async function frame_names() {
  return JSON.parse((await get('/frames')).body).map((f) => f.name).sort();
}

// Uploads `text` as the file `name` through the project screen's Tesira import.
async function import_file(name, text) {
  await page.getByRole('button', { name: 'Import Tesira project…' }).click();
  const dialog = page.getByRole('dialog', { name: 'Import a Tesira project' });
  await dialog.getByLabel('Tesira configuration file').setInputFiles({ name, mimeType: 'application/xml', buffer: Buffer.from(text) });
  await dialog.getByRole('button', { name: 'Import' }).click();
}

before(async () => {
  sim = new simulator([], 'orva_tesira_sim', ['--bind', server_address, '--block', 'AmpA=Hall left', '--block',
    'Amp B=Hall right', '--login', 'admin:orva', '--system', system_name]);
  await sim.ready();
  server = new backend();
  await server.start();
  browser = await launch_browser();
  page = await browser.newPage({ viewport: { width: 1366, height: 768 } });
  page.on('pageerror', (error) => page_errors.push(error.message));
});

after(() => stop_all({ browser, server, sim }));

test('a Tesira project file is imported from the browser; a file without amplifier blocks is refused with its reason', async () => {
  await page.goto(`${base_url}/#project`);
  await import_file('notes.xml', '<Tesira><System name="Hall"/></Tesira>');
  await page.getByText('Import notes.xml failed: Tesira import failed: no Tesira.Blocks').waitFor({ timeout: 15000 });
  assert.deepEqual(await frame_names(), []);

  await page.getByRole('button', { name: 'Import Tesira project…' }).click();
  await check_accessibility('Tesira import dialog');
  await page.getByRole('dialog', { name: 'Import a Tesira project' }).getByRole('button', { name: 'Cancel' }).click();

  // The file's text goes up once: with the job's start, not with its registration.
  const uploads = [];
  const watch = (request) => {
    if (request.method() === 'POST' && request.url().includes('/api/job/')) uploads.push([request.url(), request.postData() || '']);
  };
  page.on('request', watch);
  await import_file('hall.xml', hall_file);
  await page.getByText('Import hall.xml: done.').waitFor({ timeout: 15000 });
  page.off('request', watch);
  assert.deepEqual(uploads.map(([url, body]) => [url.replace(/^.*\/api\/job\//, ''), body.includes('AmpBlock')]),
    [['register/', false], ['start/', true]]);
  assert.deepEqual(await frame_names(), ['Hall left', 'Hall right']);
  // The uploaded text is not kept in the request records.
  assert.ok(!(await get('/requests')).body.includes('AmpBlock'));
});

test('the server asks for a login: the dialog opens, a wrong password is refused, the right one brings the frames online', async () => {
  const dialog = page.getByRole('dialog', { name: 'Server login' });
  await dialog.waitFor({ timeout: 20000 });
  assert.equal(await dialog.getByLabel('Server').inputValue(), system_name);
  await check_accessibility('server login dialog');
  await page.screenshot({ path: join(artefacts, 'tesira-login.png') });
  await dialog.getByLabel('User name').fill('admin');
  await dialog.getByLabel('Password').fill('wrong');
  await dialog.getByRole('button', { name: 'Log in' }).click();
  await page.getByText(`Log in to ${system_name}: failed — The server refused the user name or password.`).waitFor({ timeout: 20000 });

  // Still not logged in: the dialog asks again.
  await dialog.waitFor({ timeout: 10000 });
  await dialog.getByLabel('User name').fill('admin');
  await dialog.getByLabel('Password').fill('orva');
  await dialog.getByRole('button', { name: 'Log in' }).click();
  await page.getByText(`Log in to ${system_name}: done`).waitFor({ timeout: 20000 });
  await page.goto(`${base_url}/#frames`);
  for (const name of ['Hall left', 'Hall right']) {
    await row_of(name).locator('.badge', { hasText: 'Online' }).waitFor({ timeout: 40000 });
  }
  assert.equal((await get('/api/login_devices')).body, '{}');
  assert.equal(await dialog.count(), 0);
  await page.screenshot({ path: join(artefacts, 'tesira-frames.png') });
});

test('a gain edited on a Tesira-hosted amplifier reaches it as its sensitivity; a gain out of range is not sent', async () => {
  // The reads queued by the import met the login prompt: a download fills the project.
  await page.goto(`${base_url}/#sync`);
  await page.getByRole('button', { name: 'Download all amplifiers' }).click();
  await page.getByText(/^Download finished/).waitFor({ timeout: 30000 });
  const keep = page.getByRole('button', { name: 'Keep amplifier values' });
  if (await keep.count()) await keep.click();

  await page.goto(`${base_url}/#frames/search/AmpA`);
  await row_of('Hall left').getByRole('link').click();
  await page.getByRole('heading', { name: 'Hall left' }).waitFor();
  const channel = page.getByRole('region', { name: 'Channel 1' });
  const gain = channel.getByLabel('Gain (dB)');
  await wait_for(async () => (await gain.inputValue()) !== '' && (await gain.getAttribute('readonly')) === null,
    'the gain to show, editable');
  await sim.command('clear');

  await gain.fill('51');
  await gain.press('Enter');
  await channel.getByText('Between -1.10 and 50.00 dB.').waitFor();
  assert.equal(await gain.getAttribute('aria-invalid'), 'true');

  await gain.fill('10');
  await gain.press('Enter');
  await channel.getByText('Written to the amplifier.').waitFor({ timeout: 20000 });
  const frame = JSON.parse((await get('/frames')).body).find((f) => f.name === 'Hall left');
  const first_channel = JSON.parse((await get(`/channels/${frame.channels.split(' ')[0]}`)).body);
  assert.equal(Number(first_channel.gain).toFixed(2), '10.00');
  // Channel 1's sensitivity is word 2 of parameter block 2.
  const pokes = (await sim.received_texts()).filter((line) => /AmpA poke 0x20002 /.test(line));
  assert.equal(pokes.length, 1, 'one write of the sensitivity');
  assert.match(pokes[0], new RegExp(`poke 0x20002 \\[${first_channel.sensitivity}\\] ?$`));
  assert.equal((await sim.command('do AmpA peek 0x20002 1'))[0], `ok +OK "value":[${first_channel.sensitivity}]`);
  await check_accessibility('Tesira frame detail');
  await page.screenshot({ path: join(artefacts, 'tesira-frame.png') });
});

test('the Tesira export document is downloaded with both frames', async () => {
  await page.goto(`${base_url}/#project`);
  const [download] = await Promise.all([
    page.waitForEvent('download'),
    page.getByRole('button', { name: 'Export Tesira document' }).click(),
  ]);
  const chunks = [];
  for await (const chunk of await download.createReadStream()) chunks.push(chunk);
  const text = Buffer.concat(chunks).toString('utf8');
  assert.match(text, /<Name>Hall left<\/Name>/);
  assert.match(text, /<Name>Hall right<\/Name>/);
});

test('the pages ran without script errors', () => {
  assert.deepEqual(page_errors, []);
});
