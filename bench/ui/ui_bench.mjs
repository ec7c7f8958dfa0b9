// The web user interface against the real backend with 64 simulated amplifiers, in
// headless Chromium:
//   - time from navigation to a filled frames table (all 64 rows online), over 5 loads;
//   - time from a fault set in the simulator to its badge on screen, p50 and max over 20
//     faults (the monitoring cycle of about a second bounds it);
//   - page weight: bytes of html/ transferred on the first load (bodies and headers).
// Run inside the network sandbox:
//   scripts/sandbox.sh node bench/ui/ui_bench.mjs [amplifiers]

import { simulator, backend, launch_browser, base_url, discover, get, wait_for } from '../../tests/browser/harness.mjs';

const count = Number(process.argv[2] || 64);
const ids = Array.from({ length: count }, (_, i) => `0000aa00:${(i + 1).toString(16).padStart(8, '0')}`);
const name_of = (i) => `Amp ${String(i + 1).padStart(2, '0')}`;

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

const sim = new simulator(ids);
await sim.ready();
for (let i = 0; i < count; i += 1) await sim.command(`set ${ids[i]} Dev.FrameLabel?|${name_of(i)}`);
const server = new backend();
await server.start();
let browser;
try {
  await discover();
  await wait_for(async () => {
    const frames = JSON.parse((await get('/frames')).body);
    return frames.filter((f) => f.mon_network_status === 'online' && f.name).length === count;
  }, `${count} amplifiers online`, 120000, 500);

  browser = await launch_browser();

  // Page weight of the first load.
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 } });
  const page = await context.newPage();
  const sizes = [];
  page.on('requestfinished', async (request) => {
    const type = request.resourceType();
    if (!['document', 'script', 'stylesheet', 'image', 'font'].includes(type)) return;
    const s = await request.sizes();
    sizes.push({ url: request.url(), bytes: s.responseBodySize + s.responseHeadersSize });
  });
  await page.goto(`${base_url}/#frames`, { waitUntil: 'networkidle' });
  const weight = sizes.reduce((sum, s) => sum + s.bytes, 0);
  await context.close();

  // Navigation to a filled table.
  const loads = [];
  for (let run = 0; run < 5; run += 1) {
    const ctx = await browser.newContext({ viewport: { width: 1366, height: 768 } });
    const p = await ctx.newPage();
    await p.goto(`${base_url}/#frames`, { waitUntil: 'commit' });
    // Measured in the page: its clock starts at the navigation.
    const filled = await p.waitForFunction((n) => {
      const rows = document.querySelectorAll('tbody tr.frame-row');
      if (rows.length < n) return false;
      let online = 0;
      for (const row of rows) if (row.querySelector('.badge.online')) online += 1;
      return online >= n ? performance.now() : false;
    }, count, { polling: 'raf', timeout: 30000 });
    loads.push(await filled.jsonValue());
    await ctx.close();
  }

  // Fault to badge.
  const ctx = await browser.newContext({ viewport: { width: 1366, height: 768 } });
  const p = await ctx.newPage();
  await p.goto(`${base_url}/#frames`);
  await p.waitForFunction((n) => document.querySelectorAll('tbody tr.frame-row').length >= n, count, { timeout: 30000 });
  const latencies = [];
  for (let i = 0; i < 20; i += 1) {
    const index = (i * 7) % count;
    const name = name_of(index);
    const shows = (wanted) => p.waitForFunction(([n, w]) => {
      for (const row of document.querySelectorAll('tbody tr.frame-row')) {
        if (row.querySelector('a').textContent === n) return row.textContent.includes('SHORT CIRCUIT') === w;
      }
      return false;
    }, [name, wanted], { polling: 'raf', timeout: 10000 });
    await sim.command(`monitor ${ids[index]} 1 ${2 ** 29}`);
    const start = performance.now();
    await shows(true);
    latencies.push(performance.now() - start);
    await sim.command(`monitor ${ids[index]} 1 0`);
    await shows(false);
  }
  await ctx.close();

  const ms = (v) => `${Math.round(v)} ms`;
  console.log(`amplifiers: ${count}`);
  console.log(`navigation to filled frames table: median ${ms(percentile(loads, 50))}, max ${ms(Math.max(...loads))} (${loads.length} loads)`);
  console.log(`fault to badge: p50 ${ms(percentile(latencies, 50))}, max ${ms(Math.max(...latencies))} (${latencies.length} faults)`);
  console.log(`page weight of the first load: ${weight} bytes in ${sizes.length} files (${(weight / 1024).toFixed(1)} KiB, uncompressed)`);
} finally {
  if (browser) await browser.close();
  await server.stop();
  server.remove();
  await sim.stop();
}
