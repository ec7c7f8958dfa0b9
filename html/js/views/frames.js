// Frames screen (#frames, #frames/search/<tag>): every frame of the project and, apart,
// the amplifiers found on the network, with their live state. Rows are kept per frame and
// updated in place, so live updates neither flicker nor lose the scroll position, the
// focus or the selection. `search` selects and scrolls to the frame whose device_id (or
// name) is the tag, as soon as it exists.

import { h, set_text, set_attr, unique_id } from '../dom.js';
import { badge, update_badge, network_badge, update_network_badge, power_text, temperature_text, sync_text,
  worst_status, status_rank, frame_label, collator, by_label } from '../format.js';
import { form_dialog } from '../dialogs.js';
import { api } from '../api.js';

const filters = [
  ['all', 'All frames'],
  ['online', 'Online'],
  ['offline', 'Offline or not associated'],
  ['fault', 'With a fault'],
  ['warning', 'With a warning or fault'],
  ['unsynced', 'Out of sync'],
];

const sorts = [
  ['name', 'Name'],
  ['state', 'State (faults first)'],
  ['model', 'Model'],
  ['type', 'Type'],
];

function matches(frame, state) {
  const text = state.filter.trim().toLowerCase();
  if (text) {
    const hay = `${frame.name || ''} ${frame.device_id || ''} ${frame.model_name || ''} ${frame.serial_number || ''}`.toLowerCase();
    if (!hay.includes(text)) return false;
  }
  const worst = worst_status(frame);
  switch (state.state) {
    case 'online': return frame.mon_network_status === 'online' && !!frame.device_id;
    case 'offline': return !frame.device_id || frame.mon_network_status !== 'online';
    case 'fault': return worst === '2';
    case 'warning': return worst === '2' || worst === '1';
    case 'unsynced': return !!frame.device_id && frame.synced !== 'true';
    default: return true;
  }
}

function compare(sort) {
  const by_name = by_label;
  switch (sort) {
    case 'state': return (a, b) => status_rank(worst_status(a)) - status_rank(worst_status(b)) ||
      (a.mon_network_status === 'offline') - (b.mon_network_status === 'offline') || by_name(a, b);
    case 'model': return (a, b) => collator.compare(a.model_name || '', b.model_name || '') || by_name(a, b);
    case 'type': return (a, b) => collator.compare(a.frame_type || '', b.frame_type || '') || by_name(a, b);
    default: return by_name;
  }
}

const columns = [
  ['Name', ''], ['Model', ''], ['Type', 'hide-narrow'], ['Network', ''], ['Power', ''], ['Frame', ''],
  ['Amplifier', ''], ['Load', ''], ['Signal', ''], ['Temperatures', 'hide-narrow'], ['Sync', ''],
];

function make_table(caption_text) {
  const body = h('tbody');
  const caption_id = unique_id('caption');
  const table = h('table', { 'aria-labelledby': caption_id },
    h('thead', {}, h('tr', {}, columns.map(([text, cls]) => h('th', { scope: 'col', class: cls || null }, text)))),
    body);
  const empty = h('p', { class: 'empty' });
  const heading = h('h2', { id: caption_id }, caption_text);
  const count = h('span', { class: 'hint' });
  return { table, body, empty, heading, count, wrap: h('div', { class: 'table-wrap' }, table) };
}

function make_row(app, frame_id) {
  const link = h('a', { href: `#frames/${frame_id}` });
  const row = {
    tr: h('tr', { class: 'frame-row', dataset: { frameId: frame_id } }),
    link,
    device: h('span', { class: 'sub' }),
    model: h('td'),
    type: h('td', { class: 'hide-narrow' }),
    network: network_badge({}),
    power: h('td'),
    frame: badge(),
    amp: badge(),
    load: badge(),
    signal: badge(),
    temps: h('td', { class: 'num hide-narrow' }),
    sync: h('span'),
  };
  row.tr.append(
    h('td', { class: 'name-cell' }, link, row.device),
    row.model, row.type,
    h('td', {}, row.network), row.power,
    h('td', {}, row.frame), h('td', {}, row.amp), h('td', {}, row.load), h('td', {}, row.signal),
    row.temps, h('td', {}, row.sync));
  return row;
}

function fill_row(row, frame) {
  set_text(row.link, frame_label(frame));
  set_text(row.device, frame.device_id || 'no amplifier');
  set_text(row.model, frame.model_name || '—');
  set_text(row.type, frame.frame_type || '—');
  update_network_badge(row.network, frame);
  set_text(row.power, power_text(frame));
  update_badge(row.frame, frame.mon_frame_status, frame.mon_frame_reason);
  update_badge(row.amp, frame.mon_chs_amp_status, frame.mon_chs_amp_reason);
  update_badge(row.load, frame.mon_chs_load_status, frame.mon_chs_load_reason);
  update_badge(row.signal, frame.mon_chs_signal_status, frame.mon_chs_signal_reason);
  const temps = [frame.temperature_psm, frame.temperature_slot].filter((t) => t !== undefined && t !== '');
  set_text(row.temps, temps.length ? temps.map(temperature_text).join(' / ') : '—');
  const s = sync_text(frame);
  set_text(row.sync, s);
  const cls = s === 'Synced' ? 'synced' : s ? 'unsynced' : '';
  if (row.sync.className !== cls) row.sync.className = cls;
}

export function frames_screen(app, main, params) {
  const state = app.state.frames || (app.state.frames = { filter: '', state: 'all', sort: 'name', selected: null });
  let search = params.search;

  const filter_id = unique_id('filter');
  const state_id = unique_id('state');
  const sort_id = unique_id('sort');
  const filter = h('input', { id: filter_id, type: 'search', value: state.filter, placeholder: 'Name, amplifier id, model' });
  const state_select = h('select', { id: state_id }, filters.map(([v, t]) => h('option', { value: v, selected: v === state.state }, t)));
  const sort_select = h('select', { id: sort_id }, sorts.map(([v, t]) => h('option', { value: v, selected: v === state.sort }, t)));
  const search_note = h('p', { class: 'hint', role: 'status' });
  const project = make_table('Project frames');
  const discovered = make_table('Amplifiers found on the network');
  const rows = new Map();

  const add_frame = h('button', { type: 'button', class: 'ghost', onclick: () => add_offline_frame(app) }, 'Add frame…');
  main.append(
    h('h1', {}, 'Frames'),
    h('div', { class: 'toolbar', role: 'search' },
      h('div', {}, h('label', { for: filter_id }, 'Filter by name'), filter),
      h('div', {}, h('label', { for: state_id }, 'Show'), state_select),
      h('div', {}, h('label', { for: sort_id }, 'Sort by'), sort_select),
      add_frame),
    search_note,
    h('div', { class: 'row' }, project.heading, project.count), project.wrap, project.empty,
    h('div', { class: 'row' }, discovered.heading, discovered.count), discovered.wrap, discovered.empty);

  filter.addEventListener('input', () => {
    state.filter = filter.value;
    arrange();
  });
  state_select.addEventListener('change', () => {
    state.state = state_select.value;
    arrange();
  });
  sort_select.addEventListener('change', () => {
    state.sort = sort_select.value;
    arrange();
  });

  function select(id, scroll) {
    state.selected = id;
    for (const [rid, row] of rows) {
      const on = rid === id;
      if (row.tr.classList.contains('selected') !== on) row.tr.classList.toggle('selected', on);
      set_attr(row.tr, 'aria-current', on ? 'true' : null);
    }
    const row = rows.get(id);
    if (row && scroll) {
      row.tr.scrollIntoView({ block: 'center' });
      row.link.focus({ preventScroll: true });
    }
  }

  for (const t of [project, discovered]) {
    t.body.addEventListener('click', (event) => {
      const tr = event.target.closest('tr');
      if (tr) select(tr.dataset.frameId, false);
    });
    t.body.addEventListener('focusin', (event) => {
      const tr = event.target.closest('tr');
      if (tr) select(tr.dataset.frameId, false);
    });
    t.body.addEventListener('dblclick', (event) => {
      const tr = event.target.closest('tr');
      if (tr) app.navigate(`#frames/${tr.dataset.frameId}`);
    });
    t.body.addEventListener('keydown', (event) => {
      if (event.key !== 'ArrowDown' && event.key !== 'ArrowUp') return;
      const tr = event.target.closest('tr');
      const next = tr && (event.key === 'ArrowDown' ? tr.nextElementSibling : tr.previousElementSibling);
      if (next) {
        event.preventDefault();
        next.querySelector('a').focus();
      }
    });
  }

  // Puts the rows of the visible frames in order into their tables.
  function arrange() {
    const order = compare(state.sort);
    const lists = { project: [], discovered: [] };
    const totals = { project: 0, discovered: 0 };
    for (const frame of app.cache.frames.values()) {
      const key = app.cache.is_discovered(frame) ? 'discovered' : 'project';
      totals[key] += 1;
      if (matches(frame, state)) lists[key].push(frame);
    }
    for (const [key, t] of [['project', project], ['discovered', discovered]]) {
      const list = lists[key].sort(order);
      const wanted = list.map((f) => rows.get(String(f.id)).tr);
      const present = [...t.body.children];
      const same = wanted.length === present.length && wanted.every((tr, i) => tr === present[i]);
      if (!same) {
        // Move only what is out of place, so a focused row keeps its focus when it stays.
        wanted.forEach((tr, i) => {
          if (t.body.children[i] !== tr) t.body.insertBefore(tr, t.body.children[i] || null);
        });
        while (t.body.children.length > wanted.length) t.body.lastElementChild.remove();
      }
      const total = totals[key];
      set_text(t.count, list.length === total ? `${total}` : `${list.length} of ${total} shown`);
      t.wrap.hidden = list.length === 0;
      t.empty.hidden = list.length !== 0;
      set_text(t.empty, total === 0
        ? (key === 'project' ? 'The project has no frames yet. Add one, or associate an amplifier found on the network.'
          : 'No amplifiers found. Choose the network interface and refresh on the Network screen.')
        : 'No frame matches the filter.');
    }
  }

  function apply_search() {
    if (search === null || search === undefined) {
      set_text(search_note, '');
      return;
    }
    const frame = app.cache.find_frame(search);
    if (!frame) {
      set_text(search_note, app.cache.loaded ? `Looking for “${search}”… It appears here as soon as it is known.` : '');
      return;
    }
    set_text(search_note, `Showing “${frame_label(frame)}”.`);
    // A filter that hides the frame is lifted.
    if (!matches(frame, state)) {
      state.filter = '';
      state.state = 'all';
      filter.value = '';
      state_select.value = 'all';
      arrange();
    }
    select(String(frame.id), true);
    search = null;
  }

  function update(change) {
    let structure = change.structure;
    for (const frame of app.cache.frames.values()) {
      const id = String(frame.id);
      if (!rows.has(id)) {
        rows.set(id, make_row(app, id));
        structure = true;
        fill_row(rows.get(id), frame);
      }
    }
    for (const id of [...rows.keys()]) {
      if (!app.cache.frames.has(id)) {
        rows.get(id).tr.remove();
        rows.delete(id);
        structure = true;
      }
    }
    for (const id of change.frames) {
      const frame = app.cache.frames.get(id);
      if (frame && rows.has(id)) fill_row(rows.get(id), frame);
    }
    if (structure || change.frames.size) arrange();
    if (state.selected && rows.has(state.selected) && !rows.get(state.selected).tr.classList.contains('selected')) select(state.selected, false);
    apply_search();
  }

  return {
    update,
    route(p) {
      search = p.search;
      apply_search();
    },
  };
}

async function add_offline_frame(app) {
  const values = await form_dialog('Add a frame', [
    { name: 'name', label: 'Name', required: true },
    { name: 'frame_type', label: 'Type', options: [['mira', 'Mira amplifier'], ['tesira', 'Tesira-hosted amplifier']], value: 'mira' },
    { name: 'model', label: 'Model code (as the amplifier reports it)', type: 'number', value: '',
      validate: (v) => (v === '' || /^\d+$/.test(v) ? '' : 'A whole number.') },
  ], 'Add', 'The frame is added to the project without an amplifier; associate one later.');
  if (!values) return;
  const body = { name: values.name, frame_type: values.frame_type };
  if (values.model !== '') body.model = values.model;
  try {
    const frame = await api.create('frames', body);
    await app.cache.refresh();
    app.navigate(`#frames/${frame.id}`);
  } catch (e) {
    app.tracker.toast(`Adding the frame failed: ${e.message}`, true);
  }
}

