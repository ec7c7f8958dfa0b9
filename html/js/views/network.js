// Network (#network): the interface the amplifiers are looked for on, and the refresh
// that discovers them (and downloads new ones), with its progress.

import { h, set_text, clear, unique_id } from '../dom.js';
import { api } from '../api.js';
import { failure_reason } from '../requests.js';

export function network_screen(app, main) {
  const select_id = unique_id('interface');
  const picker = h('select', { id: select_id });
  const apply = h('button', { type: 'button' }, 'Use this interface');
  const refresh = h('button', { type: 'button' }, 'Find amplifiers');
  const note = h('p', { class: 'hint', role: 'status' });
  const result = h('p', { role: 'status' });
  const found = h('p', { class: 'hint' });
  main.append(h('h1', {}, 'Network and discovery'),
    h('section', { class: 'panel' },
      h('h2', {}, 'Network interface'),
      h('p', { class: 'hint' }, 'Amplifiers are found and reached through this interface of the computer.'),
      h('div', { class: 'toolbar' }, h('div', {}, h('label', { for: select_id }, 'Interface'), picker), apply),
      note),
    h('section', { class: 'panel' },
      h('h2', {}, 'Discovery'),
      h('p', { class: 'hint' }, 'Looks for amplifiers on the chosen interface. New ones are added as found amplifiers and read.'),
      h('div', { class: 'row' }, refresh), result, found));

  let settings = null;

  function show(document) {
    settings = document || {};
    const networks = settings.networks || {};
    clear(picker);
    const entries = Object.entries(networks);
    for (const [name, address] of entries) picker.append(h('option', { value: address }, `${name} — ${address}`));
    if (!entries.length) picker.append(h('option', { value: '' }, 'No network interface found'));
    if (settings.selected_ip) picker.value = settings.selected_ip;
    set_text(note, settings.selected_ip ? `In use: ${settings.selected_ip}` : 'No interface chosen yet.');
  }

  async function load() {
    try {
      show(await api.network_settings());
    } catch (e) {
      set_text(note, `The network settings could not be read: ${e.message}`);
    }
  }

  apply.addEventListener('click', async () => {
    apply.disabled = true;
    set_text(note, 'Applying…');
    try {
      show(await api.choose_interface(picker.value));
    } catch (e) {
      set_text(note, `Not applied: ${e.message}`);
    } finally {
      apply.disabled = false;
    }
  });

  refresh.addEventListener('click', async () => {
    refresh.disabled = true;
    set_text(result, 'Looking for amplifiers…');
    const record = await app.run({ method: 'refresh', network_interface: picker.value }, { label: 'Find amplifiers' });
    refresh.disabled = false;
    if (record.status === 'fail') {
      set_text(result, `Failed: ${failure_reason(record)}`);
    } else if (record.method === 'sync') {
      set_text(result, 'New amplifiers were found and read.');
    } else {
      set_text(result, 'Done. No new amplifiers.');
    }
    await app.cache.refresh();
    update();
    load();
  });

  function update() {
    const discovered = [...app.cache.frames.values()].filter((f) => app.cache.is_discovered(f) && f.device_id);
    const online = discovered.filter((f) => f.mon_network_status === 'online').length;
    set_text(found, `${discovered.length} amplifier${discovered.length === 1 ? '' : 's'} found on the network, ${online} online.`);
  }

  load();
  return { update };
}
