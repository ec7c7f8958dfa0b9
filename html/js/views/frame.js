// Frame detail (#frames/<id>): the frame's state and actions (power, download, upload,
// association, dissociation, factory reset), its settings and its four channels with
// mute, level and limiter settings, monitoring states and load-monitoring values.

import { h, set_text, set_attr } from '../dom.js';
import { badge, update_badge, network_badge, update_network_badge, power_text, temperature_text, number_text,
  sync_text, frame_label } from '../format.js';
import { param_field } from '../params.js';
import { confirm_dialog, form_dialog } from '../dialogs.js';
import { api } from '../api.js';

function fact(label, value_element) {
  return [h('dt', {}, label), h('dd', {}, value_element)];
}

export function frame_screen(app, main, params) {
  const frame_id = String(params.id);
  const frame = () => app.cache.frames.get(frame_id);
  const title = h('h1');
  const missing = h('p', { class: 'empty', hidden: true });
  const body = h('div');
  main.append(h('p', {}, h('a', { href: '#frames' }, '← All frames')), title, missing, body);

  const v = {
    model: h('span'), type: h('span'), device: h('span'), serial: h('span'), firmware: h('span'),
    network: network_badge({}), power: h('span'), sync: h('span'), temps: h('span'),
    frame_status: badge(), amp: badge(), load: badge(), signal: badge(),
  };
  const status_line = h('p', { class: 'hint', role: 'status' });

  const button = (text, handler, cls = '') => h('button', { type: 'button', class: cls, onclick: handler }, text);
  const actions = {
    power_on: button('Power on', () => set_power(1)),
    standby: button('Standby', () => set_power(0), 'ghost'),
    download: button('Download from amplifier', () => transfer('get')),
    upload: button('Upload to amplifier', () => transfer('put'), 'ghost'),
    assoc: button('Associate amplifier…', () => associate()),
    dissoc: button('Dissociate', () => dissociate(), 'ghost'),
    reset: button('Factory reset…', () => factory_reset(), 'danger'),
    remove: button('Delete frame…', () => delete_frame(), 'danger'),
  };

  const frame_fields = ['name', 'fuse_type', 'fuse_current_limit'].map((key) => param_field(app, 'frames', key, frame, frame));
  const channel_parts = [];
  const channels_grid = h('div', { class: 'channels' });

  body.append(
    h('section', { class: 'panel', 'aria-label': 'State' },
      h('dl', { class: 'values facts' },
        fact('Model', v.model), fact('Type', v.type), fact('Amplifier id', v.device), fact('Serial number', v.serial),
        fact('Firmware', v.firmware), fact('Network', v.network), fact('Power', v.power), fact('Synchronisation', v.sync),
        fact('Temperatures', v.temps), fact('Frame status', v.frame_status), fact('Amplifier channels', v.amp),
        fact('Load', v.load), fact('Signal', v.signal))),
    h('section', { class: 'panel', 'aria-label': 'Actions' },
      h('div', { class: 'row' }, Object.values(actions)), status_line),
    h('section', { class: 'panel' }, h('h2', {}, 'Frame settings'),
      h('div', { class: 'fields' }, frame_fields.map((f) => f.element)),
      h('p', {}, h('a', { href: `#flexi/${frame_id}` }, 'Power management of this frame'))),
    h('h2', {}, 'Channels'),
    channels_grid);

  async function run(body, label, options = {}) {
    set_text(status_line, `${label}…`);
    const record = await app.run(body, { label: `${label}: ${frame_label(frame() || {})}`, ...options });
    set_text(status_line, record.status === 'fail' ? `${label} failed.` : `${label}: done.`);
    return record;
  }

  function set_power(on) {
    const f = frame();
    run({ method: 'set_power_status', device_id: f.device_id, frame_id: f.id, power_status: on }, on ? 'Power on' : 'Standby');
  }

  async function transfer(direction) {
    const f = frame();
    const record = await run({ method: 'sync', status: 'start', direction, frame_id: f.id },
      direction === 'get' ? 'Download' : 'Upload');
    if (direction === 'get' && record.diff_result) {
      app.state.last_download = record;
      app.navigate('#sync');
    }
  }

  async function factory_reset() {
    const f = frame();
    if (!await confirm_dialog('Factory reset', `Reset “${frame_label(f)}” to its factory settings? Its settings and calibrations on the amplifier are lost.`, 'Reset', true)) return;
    run({ method: 'factory_reset', device_id: f.device_id, frame_id: f.id }, 'Factory reset');
  }

  async function dissociate() {
    const f = frame();
    if (!await confirm_dialog('Dissociate', `Release the amplifier ${f.device_id} from “${frame_label(f)}”? It then shows as found on the network.`, 'Dissociate')) return;
    await run({ method: 'dissoc', frame_id: f.id }, 'Dissociate');
    app.cache.schedule_refresh(0);
  }

  async function delete_frame() {
    const f = frame();
    if (!await confirm_dialog('Delete frame', `Delete “${frame_label(f)}” and its channels from the project?`, 'Delete', true)) return;
    try {
      await api.remove('frames', f.id);
      await app.cache.refresh();
      app.navigate('#frames');
    } catch (e) {
      set_text(status_line, `Delete failed: ${e.message}`);
    }
  }

  async function associate() {
    const f = frame();
    const candidates = [...app.cache.frames.values()].filter((c) => app.cache.is_discovered(c) && c.device_id &&
      (c.frame_type || 'mira') === (f.frame_type || 'mira') && (!f.model || !c.model || c.model === f.model));
    if (!candidates.length) {
      set_text(status_line, 'No amplifier of this type and model has been found on the network.');
      return;
    }
    const select_key = 'select-key';
    const values = await form_dialog('Associate an amplifier', [
      { name: 'with', label: 'Amplifier', value: String(candidates[0].id),
        options: [...candidates.map((c) => [String(c.id), `${frame_label(c)} (${c.device_id})`]),
          ...(candidates.some((c) => (c.frame_type || 'mira') === 'mira') ? [[select_key, 'The one whose select key I press']] : [])] },
    ], 'Associate', `“${frame_label(f)}” takes over the chosen amplifier.`);
    if (!values) return;
    if (values.with === select_key) {
      const mira = candidates.filter((c) => (c.frame_type || 'mira') === 'mira');
      set_text(status_line, 'Press the select key on the amplifier now (10 seconds)…');
      await run({ method: 'assoc_select', frame_id: f.id, device_id: mira.map((c) => c.device_id).join(','),
        with: mira.map((c) => c.id).join(',') }, 'Associate by select key', { expected_ms: 10000 });
    } else {
      await run({ method: 'assoc', frame_id: f.id, with: values.with }, 'Associate');
    }
    app.cache.schedule_refresh(0);
  }

  function make_channel(index) {
    const get_channel = () => app.cache.channels_of(frame())[index];
    const heading = h('h3');
    const mute = h('button', { type: 'button', class: 'ghost', 'aria-pressed': 'false' });
    const mute_state = h('span', { class: 'hint', role: 'status' });
    const b = { amp: badge(), load: badge(), signal: badge() };
    const values = {
      routed: h('span'), routing: h('span'), temperature: h('span'), vpl: h('span'),
      t1: h('span'), t2: h('span'), calibrated: h('span'), tones: h('span'),
    };
    const fields = ['gain', 'sensitivity', 'attenuation', 'threshold', 'profile']
      .map((key) => param_field(app, 'channels', key, get_channel, frame));
    const load_link = h('a');
    mute.addEventListener('click', async () => {
      const c = get_channel();
      const f = frame();
      if (!c || !f) return;
      const next = c.mute === '1' ? 0 : 1;
      mute.disabled = true;
      set_text(mute_state, next ? 'Muting…' : 'Unmuting…');
      const record = await app.run({ method: 'set_mute', device_id: f.device_id, frame_id: f.id, channel_id: c.id, mute: next },
        { label: `${next ? 'Mute' : 'Unmute'} ${frame_label(f)} channel ${index + 1}` });
      mute.disabled = false;
      set_text(mute_state, record.status === 'fail' ? 'The amplifier did not accept it.' : next ? 'Muted' : '');
    });
    const card = h('section', { class: 'channel', 'aria-label': `Channel ${index + 1}` },
      heading,
      h('div', { class: 'row' }, mute, mute_state),
      h('dl', { class: 'values' },
        fact('Amplifier', b.amp), fact('Load', b.load), fact('Signal', b.signal),
        fact('Routed from', values.routed), fact('Routing', values.routing), fact('Temperature', values.temperature),
        fact('Actual limiter threshold', values.vpl)),
      h('div', { class: 'fields' }, fields.map((f) => f.element)),
      h('h4', {}, 'Load monitoring'),
      h('dl', { class: 'values' },
        fact('Tone 1 impedance', values.t1), fact('Tone 2 impedance', values.t2),
        fact('Last calibrated', values.calibrated), fact('Pilot tones', values.tones)),
      load_link);
    function refresh() {
      const c = get_channel();
      const f = frame();
      card.hidden = !c;
      if (!c) return;
      set_text(heading, `Channel ${index + 1}${c.name ? ' — ' + c.name : ''}`);
      const muted = c.mute === '1';
      set_text(mute, `Mute channel ${index + 1}`);
      set_attr(mute, 'aria-pressed', muted ? 'true' : 'false');
      if (!mute.disabled) set_text(mute_state, muted ? 'Muted' : '');
      mute.className = muted ? 'danger' : 'ghost';
      if (!mute.disabled || !f.device_id) mute.disabled = !f.device_id;
      update_badge(b.amp, c.mon_amp_status, c.mon_amp_reason);
      update_badge(b.load, c.mon_load_status, c.mon_load_reason);
      update_badge(b.signal, c.mon_signal_status, c.mon_signal_reason);
      set_text(values.routed, c.routed_name || '—');
      set_text(values.routing, c.routing || '—');
      set_text(values.temperature, temperature_text(c.temperature));
      set_text(values.vpl, number_text(c.actual_vpl_threshold, 1, 'V'));
      set_text(values.t1, number_text(c.t1_read_impedance, 2, 'Ω'));
      set_text(values.t2, number_text(c.t2_read_impedance, 2, 'Ω'));
      set_text(values.calibrated, c.last_calibrated || 'never');
      set_text(values.tones, c.enabled_tones === '1' ? 'On' : c.enabled_tones === '0' ? 'Off' : '—');
      set_attr(load_link, 'href', `#load/${c.id}`);
      set_text(load_link, `Calibrate and sweep channel ${index + 1}`);
      fields.forEach((field) => field.refresh());
    }
    return { card, refresh };
  }

  for (let i = 0; i < 4; i += 1) {
    const part = make_channel(i);
    channel_parts.push(part);
    channels_grid.append(part.card);
  }

  function update() {
    const f = frame();
    missing.hidden = !!f || !app.cache.loaded;
    body.hidden = !f;
    if (!f) {
      set_text(title, 'Frame');
      set_text(missing, 'This frame is not in the project (any more).');
      return;
    }
    set_text(title, frame_label(f));
    set_text(v.model, f.model_name || (f.model ? `code ${f.model}` : '—'));
    set_text(v.type, f.frame_type || '—');
    set_text(v.device, f.device_id || 'none (offline frame)');
    set_text(v.serial, f.serial_number || '—');
    set_text(v.firmware, f.dico_version ? `${Number(f.dico_version)} (lowest supported ${Number(f.min_req_dico_version || 0)})` : '—');
    update_network_badge(v.network, f);
    set_text(v.power, power_text(f));
    set_text(v.sync, sync_text(f) || '—');
    set_text(v.temps, [f.temperature_psm, f.temperature_slot].filter((t) => t).map(temperature_text).join(' / ') || '—');
    update_badge(v.frame_status, f.mon_frame_status, f.mon_frame_reason);
    update_badge(v.amp, f.mon_chs_amp_status, f.mon_chs_amp_reason);
    update_badge(v.load, f.mon_chs_load_status, f.mon_chs_load_reason);
    update_badge(v.signal, f.mon_chs_signal_status, f.mon_chs_signal_reason);
    const associated = !!f.device_id;
    for (const key of ['power_on', 'standby', 'download', 'upload', 'reset', 'dissoc']) actions[key].hidden = !associated;
    actions.assoc.hidden = associated;
    actions.remove.hidden = associated && !app.cache.is_discovered(f);
    frame_fields.forEach((field) => field.refresh());
    channel_parts.forEach((part) => part.refresh());
  }

  return { update };
}
