// End-to-end tests of the web user interface: headless Chromium against the real
// backend with simulated Mira amplifiers, inside the network sandbox. The steps build on
// each other (discovery first), as an installer's session would.
//
// Screenshots of the main screens are left in $ORVA_UI_ARTEFACTS (default
// build/ui_screenshots).

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { simulator, backend, launch_browser, base_url, sandbox_interface, wait_for, get, artefacts_folder,
  check_accessibility as check_page_accessibility, frame_row, stop_all } from './harness.mjs';

const artefacts = artefacts_folder();

const left = '00000001:00000001';
const right = '00000001:00000002';
let sim;
let server;
let browser;
let page;
const csp_violations = [];
const page_errors = [];

async function screenshot(name) {
  await page.screenshot({ path: join(artefacts, `${name}.png`) });
}

function check_accessibility(screen) {
  return check_page_accessibility(page, screen);
}

function row_of(name) {
  return frame_row(page, name);
}

async function received_since(mark, pattern) {
  const lines = await sim.received_texts();
  return lines.slice(mark).some((line) => pattern.test(line));
}

before(async () => {
  sim = new simulator([left, right]);
  await sim.ready();
  await sim.command(`set ${left} Dev.FrameLabel?|Stage left`);
  await sim.command(`set ${right} Dev.FrameLabel?|Stage right`);
  server = new backend();
  await server.start();
  browser = await launch_browser();
  page = await browser.newPage({ viewport: { width: 1366, height: 768 } });
  page.on('console', (message) => {
    if (/Content Security Policy/i.test(message.text())) csp_violations.push(message.text());
  });
  page.on('pageerror', (error) => page_errors.push(error.message));
});

after(() => stop_all({ browser, server, sim }));

test('the interface is served with a strict content security policy', async () => {
  const answer = await get('/');
  assert.equal(answer.status, 200);
  const policy = answer.headers['content-security-policy'] || '';
  assert.match(policy, /default-src 'self'/);
  assert.match(policy, /script-src 'self'(;|$)/);
  assert.doesNotMatch(policy, /unsafe-inline|unsafe-eval/);
  assert.equal(answer.headers['x-content-type-options'], 'nosniff');
});

test('discovery finds the two amplifiers, online and with their names', async () => {
  await page.goto(`${base_url}/#network`);
  await page.getByLabel('Interface').selectOption(sandbox_interface);
  await page.getByRole('button', { name: 'Use this interface' }).click();
  await page.getByText(`In use: ${sandbox_interface}`).waitFor();
  // A Tesira server address that is not one is refused in the form.
  await page.getByLabel('Server address').fill('300.1.1.1');
  await page.getByLabel('Instance tag').fill('AmpBlock1');
  await page.getByRole('button', { name: 'Add Tesira amplifier' }).click();
  await page.getByText('An IPv4 address, such as 192.168.1.20.').waitFor();
  assert.equal(await page.getByLabel('Server address').getAttribute('aria-invalid'), 'true');
  await screenshot('network');
  await check_accessibility('network');
  await page.getByRole('button', { name: 'Find amplifiers' }).click();
  await page.getByText('New amplifiers were found and read.').waitFor({ timeout: 20000 });
  await page.getByRole('link', { name: 'Frames' }).click();
  for (const name of ['Stage left', 'Stage right']) {
    await row_of(name).locator('.badge', { hasText: 'Online' }).waitFor({ timeout: 10000 });
  }
  await screenshot('frames');
  await check_accessibility('frames');
});

test('a frame is brought into view by its amplifier id', async () => {
  await page.goto(`${base_url}/#frames/search/${right}`);
  const row = row_of('Stage right');
  await wait_for(async () => (await row.getAttribute('class')).includes('selected'), 'the row to be selected');
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Stage right');
  // A tag that is not known yet is waited for, not an error.
  await page.goto(`${base_url}/#frames/search/00000009:00000009`);
  await page.getByText('Looking for “00000009:00000009”').waitFor();
});

test('the mute of a channel reaches the amplifier and shows', async () => {
  await page.goto(`${base_url}/#frames`);
  await row_of('Stage left').getByRole('link').click();
  await page.getByRole('heading', { name: 'Stage left' }).waitFor();
  const mark = (await sim.received_texts()).length;
  const mute = page.getByRole('button', { name: 'Mute channel 1' });
  assert.equal(await mute.getAttribute('aria-pressed'), 'false');
  await mute.click();
  await wait_for(() => received_since(mark, /Dev\.Pwr\.Mute=1 ?1$/), 'the amplifier to receive the mute');
  await wait_for(async () => (await mute.getAttribute('aria-pressed')) === 'true', 'the mute to show');
  await screenshot('frame');
  await check_accessibility('frame detail');
  await mute.click();
  await wait_for(() => received_since(mark, /Dev\.Pwr\.Mute=1 ?0$/), 'the amplifier to receive the unmute');
});

test('a fault set on the amplifier shows as a badge with its reason within two seconds', async () => {
  await page.goto(`${base_url}/#frames`);
  const load_cell = row_of('Stage left').locator('td').nth(7);
  // Channel 1's status word, bit 29: a short circuit on the line.
  await sim.command(`monitor ${left} 1 ${2 ** 29}`);
  const start = Date.now();
  await load_cell.getByText('SHORT CIRCUIT').waitFor({ timeout: 2000 });
  assert.equal(await load_cell.locator('.badge').textContent(), 'Fault');
  console.log(`fault badge after ${Date.now() - start} ms`);
  // Sorting by state puts the faulty frame first; filtering by fault hides the other.
  await page.getByLabel('Sort by').selectOption('state');
  assert.equal(await page.locator('tbody tr.frame-row a').first().textContent(), 'Stage left');
  await page.getByLabel('Show').selectOption('fault');
  await wait_for(async () => (await page.locator('tbody tr.frame-row').count()) === 1, 'one faulty frame');
  await page.getByLabel('Show').selectOption('all');
  await page.getByLabel('Sort by').selectOption('name');
  await sim.command(`monitor ${left} 1 0`);
  await load_cell.getByText('SHORT CIRCUIT').waitFor({ state: 'detached', timeout: 5000 });
});

test('an edited setting is written to the amplifier; a value out of range is refused in the form', async () => {
  await page.goto(`${base_url}/#flexi/search/${left}`);
  const channel = page.getByRole('region', { name: 'Channel 1' });
  const field = channel.getByLabel('Desired peak voltage');
  await wait_for(async () => (await field.inputValue()) === '100', 'the value to show');
  const mark = (await sim.received_texts()).length;
  await field.fill('5000');
  await field.press('Enter');
  await channel.getByText('Between 17.8 and 1000.0 V.').waitFor();
  assert.equal(await field.getAttribute('aria-invalid'), 'true');
  await field.fill('120');
  await field.press('Enter');
  await channel.getByText('Written to the amplifier.').waitFor({ timeout: 10000 });
  const lines = (await sim.received_texts()).slice(mark);
  assert.ok(lines.some((l) => /Dev\.KVX\.DesiredVpl=1 120/.test(l)), 'the amplifier received the new value');
  assert.ok(!lines.some((l) => /Dev\.KVX\.DesiredVpl=1 5000/.test(l)), 'the refused value was not sent');
  await screenshot('flexi');
  await check_accessibility('power management');
});

test('a download reports its one difference, and rolling back writes the project value back', async () => {
  await sim.command(`set ${left} Dev.Fuse.Type?|2`);
  await page.goto(`${base_url}/#sync`);
  await page.getByRole('button', { name: 'Download all amplifiers' }).click();
  const report = page.getByRole('region', { name: 'Differences found by the download' });
  await report.waitFor({ timeout: 20000 });
  const rows = report.locator('tbody tr');
  assert.equal(await rows.count(), 1);
  assert.deepEqual(await rows.first().locator('td').allTextContents(), ['Stage left', '—', 'Fuse type', '1', '2']);
  await screenshot('sync');
  await check_accessibility('synchronisation');
  const mark = (await sim.received_texts()).length;
  await report.getByRole('button', { name: /Roll back/ }).click();
  await page.getByText('Rolled back').waitFor({ timeout: 20000 });
  assert.ok(await received_since(mark, /Dev\.Fuse\.Type= ?1$/), 'the amplifier got the project value back');
  assert.equal((await sim.command(`get ${left} Dev.Fuse.Type?`))[0], 'ok 1');
});

test('a channel is calibrated and its line swept; a second sweep is compared with the first', async () => {
  await sim.command(`calibration ${left} 1`);
  await sim.command(`analyser ${left} 1`);
  await page.goto(`${base_url}/#frames`);
  await row_of('Stage left').getByRole('link').click();
  await page.getByRole('link', { name: 'Calibrate and sweep channel 1' }).click();
  await page.getByRole('heading', { name: 'Load monitoring', level: 1 }).waitFor();
  const picker = page.getByLabel('Channel', { exact: true });
  await wait_for(async () => /Stage left — channel 1/.test(await picker.evaluate((s) => s.selectedOptions[0].textContent)),
    'the channel to be chosen');

  await page.getByRole('button', { name: 'Calibrate' }).click();
  await page.getByText('Calibration: done.').waitFor({ timeout: 40000 });
  const calibrated = page.locator('dt:text-is("Last calibrated") + dd');
  await wait_for(async () => (await calibrated.textContent()) !== 'never', 'the calibration time to show');

  await page.getByRole('button', { name: 'Run impedance sweep' }).click();
  await page.getByText('Impedance sweep: done.').waitFor({ timeout: 40000 });
  const now_line = page.locator('svg.chart polyline.line-now');
  await now_line.waitFor();
  const points = (await now_line.getAttribute('points')).trim().split(/\s+/);
  assert.equal(points.length, 148);
  await page.locator('svg.chart text', { hasText: /^DC \d+\.\d\d Ω$/ }).waitFor();

  // Another loudspeaker on the line: the second sweep is drawn over the first.
  await sim.command(`load ${left} 1 4`);
  await page.getByRole('button', { name: 'Run impedance sweep' }).click();
  await page.locator('svg.chart polyline.line-prev').waitFor({ timeout: 40000 });
  assert.notEqual(await page.locator('svg.chart polyline.line-now').getAttribute('points'),
    await page.locator('svg.chart polyline.line-prev').getAttribute('points'));
  await screenshot('load');
  await page.evaluate(() => document.getElementById('toasts').replaceChildren());  // a clean picture
  await page.getByRole('region', { name: 'Impedance sweep' }).screenshot({ path: join(artefacts, 'load-chart.png') });
  await check_accessibility('load monitoring');

  await page.getByRole('button', { name: 'Switch load monitoring on' }).click();
  await page.getByText('Load monitoring on: done.').waitFor({ timeout: 10000 });
  await wait_for(async () => (await page.locator('dt:text-is("Load monitoring") + dd').textContent()) === 'On', 'the switch to show');
});

test('a project is saved under a name, another is started, and the first is opened again', async () => {
  await page.goto(`${base_url}/#project`);
  const save_as = async (name) => {
    await page.getByRole('button', { name: 'Save as…' }).click();
    const dialog = page.getByRole('dialog', { name: 'Save as' });
    await dialog.getByLabel('Project name').fill(name);
    await dialog.getByLabel('File name').fill(name);
    await dialog.getByRole('button', { name: 'Save' }).click();
  };
  await page.getByRole('button', { name: 'Save as…' }).click();
  await check_accessibility('save as dialog');
  await page.getByRole('dialog', { name: 'Save as' }).getByRole('button', { name: 'Cancel' }).click();
  await save_as('Main hall');
  await page.getByText('Save as Main hall.xml: done.').waitFor({ timeout: 15000 });
  await page.locator('#project-name', { hasText: 'Main hall' }).waitFor();
  await page.getByRole('row', { name: /Main hall\.xml/ }).waitFor();
  // Saving again under the same name asks before replacing the file.
  await save_as('Main hall');
  await page.getByRole('dialog', { name: 'Replace file' }).getByRole('button', { name: 'Replace' }).click();
  await page.getByText('Save as Main hall.xml: done.').waitFor({ timeout: 15000 });
  await screenshot('project');
  await check_accessibility('project');

  const answer_discard = async (button) => {
    const dirty = await page.locator('#dirty-mark').isVisible();
    await button.click();
    if (dirty) await page.getByRole('dialog', { name: 'Unsaved changes' }).getByRole('button', { name: 'Discard' }).click();
  };
  await answer_discard(page.getByRole('button', { name: 'New project' }));
  await page.getByText('New project: done.').waitFor({ timeout: 15000 });
  await page.locator('#project-name', { hasText: 'Untitled project' }).waitFor();
  await page.goto(`${base_url}/#frames`);
  await page.getByText('No amplifiers found.').waitFor();

  await page.goto(`${base_url}/#project`);
  await answer_discard(page.getByRole('button', { name: 'Open Main hall.xml' }));
  await page.getByText('Open Main hall.xml: done.').waitFor({ timeout: 15000 });
  await page.locator('#project-name', { hasText: 'Main hall' }).waitFor();
  await page.goto(`${base_url}/#frames`);
  await row_of('Stage left').locator('.badge', { hasText: 'Online' }).waitFor({ timeout: 15000 });
});

test('the frames screen is usable on a 10-inch tablet', async () => {
  await page.setViewportSize({ width: 800, height: 1280 });
  await page.goto(`${base_url}/#frames`);
  await row_of('Stage left').waitFor();
  await screenshot('frames-tablet');
  await check_accessibility('frames on a tablet');
  await page.setViewportSize({ width: 1366, height: 768 });
});

test('a stopped backend is announced, and the page recovers when it runs again', async () => {
  await page.goto(`${base_url}/#frames`);
  await row_of('Stage left').waitFor();
  await server.stop();
  await page.getByRole('alert').filter({ hasText: 'The backend has shut down' }).waitFor({ timeout: 10000 });
  await screenshot('backend-stopped');
  await server.start();
  await page.getByText('Connected', { exact: true }).waitFor({ timeout: 15000 });
  assert.equal(await page.getByRole('alert').filter({ hasText: 'backend' }).count(), 0);
  await row_of('Stage left').locator('.badge', { hasText: 'Online' }).waitFor({ timeout: 15000 });
});

test('the pages ran without script errors and without policy violations', () => {
  assert.deepEqual(page_errors, []);
  assert.deepEqual(csp_violations, []);
});
