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
  const server_id = unique_id('tesira-server');
  const tag_id = unique_id('tesira-tag');
  const server_input = h('input', { id: server_id, type: 'text', inputmode: 'decimal', autocomplete: 'off', 'aria-describedby': `${server_id}-error` });
  const tag_input = h('input', { id: tag_id, type: 'text', autocomplete: 'off', 'aria-describedby': `${tag_id}-error` });
  const server_error = h('span', { id: `${server_id}-error`, class: 'error-text' });
  const tag_error = h('span', { id: `${tag_id}-error`, class: 'error-text' });
  const add = h('button', { type: 'button' }, 'Add Tesira amplifier');
  const tesira_note = h('p', { role: 'status' });
  main.append(h('h1', {}, 'Network and discovery'),
    h('section', { class: 'panel' },
      h('h2', {}, 'Network interface'),
      h('p', { class: 'hint' }, 'Amplifiers are found and reached through this interface of the computer.'),
      h('div', { class: 'toolbar' }, h('div', {}, h('label', { for: select_id }, 'Interface'), picker), apply),
      note),
    h('section', { class: 'panel' },
      h('h2', {}, 'Discovery'),
      h('p', { class: 'hint' }, 'Looks for amplifiers on the chosen interface. New ones are added as found amplifiers and read.'),
      h('div', { class: 'row' }, refresh), result, found),
    h('section', { class: 'panel' },
      h('h2', {}, 'Tesira-hosted amplifiers'),
      h('p', { class: 'hint' }, 'An amplifier block of a Tesira server joins the project by the server’s address and the block’s instance tag.'),
      h('div', { class: 'toolbar' },
        h('div', { class: 'field' }, h('label', { for: server_id }, 'Server address'), server_input, server_error),
        h('div', { class: 'field' }, h('label', { for: tag_id }, 'Instance tag'), tag_input, tag_error),
        add),
      tesira_note));

  add.addEventListener('click', async () => {
    const server = server_input.value.trim();
    const tag = tag_input.value.trim();
    const server_reason = /^(25[0-5]|2[0-4]\d|1?\d?\d)(\.(25[0-5]|2[0-4]\d|1?\d?\d)){3}$/.test(server) ? '' : 'An IPv4 address, such as 192.168.1.20.';
    const tag_reason = tag && !/[\u0000-\u001f"]/.test(tag) ? '' : 'The instance tag of the amplifier block.';
    set_text(server_error, server_reason);
    set_text(tag_error, tag_reason);
    server_input.setAttribute('aria-invalid', server_reason ? 'true' : 'false');
    tag_input.setAttribute('aria-invalid', tag_reason ? 'true' : 'false');
    if (server_reason || tag_reason) return;
    add.disabled = true;
    set_text(tesira_note, `Asking ${server} for ${tag}…`);
    const record = await app.run({ method: 'assoc_tesira', server_address: server, instance_tag: tag }, { label: `Add ${tag} on ${server}` });
    add.disabled = false;
    await app.cache.refresh();
    const frame = app.cache.find_frame(tag);
    clear(tesira_note);
    if (record.status === 'fail') set_text(tesira_note, `Failed: ${failure_reason(record)}`);
    else if (frame) tesira_note.append(`Added: `, h('a', { href: `#frames/${frame.id}` }, frame.name || tag), '.');
    else set_text(tesira_note, 'Done.');
  });

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
