// Load monitoring (#load, #load/<channel id>): a channel's pilot-tone settings and
// calibration results, the calibration (up to about a minute), the impedance sweep with
// its chart compared with the previous sweep, and the load-monitoring switch.

import { h, set_text, clear, unique_id } from '../dom.js';
import { number_text, frame_label, by_label } from '../format.js';
import { param_field } from '../params.js';
import { api } from '../api.js';
import { failure_reason } from '../requests.js';
import { impedance_chart, parse_values } from '../chart.js';

const calibration_ms = 66000;
const sweep_ms = 30000;

export function load_screen(app, main, params) {
  let channel_id = params.id ? String(params.id) : null;
  const channel = () => (channel_id ? app.cache.channels.get(channel_id) : null);
  const frame = () => {
    const c = channel();
    return c ? app.cache.frames.get(String(c.frame_id)) : null;
  };
  const picker_id = unique_id('load-channel');
  const picker = h('select', { id: picker_id });
  const content = h('div');
  main.append(h('h1', {}, 'Load monitoring'),
    h('div', { class: 'toolbar' }, h('div', {}, h('label', { for: picker_id }, 'Channel'), picker)),
    content);
  picker.addEventListener('change', () => app.navigate(picker.value ? `#load/${picker.value}` : '#load'));

  let built_for = null;
  let view = null;

  function fill_picker() {
    const options = [];
    const frames = [...app.cache.frames.values()].filter((f) => f.device_id)
      .sort(by_label);
    for (const f of frames) {
      app.cache.channels_of(f).forEach((c, i) => options.push([String(c.id), `${frame_label(f)} — channel ${i + 1}${c.name ? ' (' + c.name + ')' : ''}`]));
    }
    const key = options.map((o) => o.join('=')).join('|');
    if (picker.dataset.key !== key) {
      picker.dataset.key = key;
      clear(picker);
      picker.append(h('option', { value: '' }, 'Choose a channel'), ...options.map(([v, t]) => h('option', { value: v }, t)));
    }
    picker.value = channel_id && options.some(([v]) => v === channel_id) ? channel_id : '';
  }

  function build() {
    clear(content);
    built_for = channel_id;
    view = null;
    if (!channel()) {
      content.append(h('p', { class: 'hint' }, 'Choose a channel of an amplifier to calibrate its load monitoring or sweep its line.'));
      return;
    }
    const settings = ['t1_cable_resistance', 't1_frequency', 't2_frequency', 't1_amplitude', 't2_amplitude']
      .map((key) => param_field(app, 'channels', key, channel, frame));
    const results = {};
    const result_keys = [
      ['t1_read_impedance', 'Tone 1 impedance now', 'Ω'], ['t2_read_impedance', 'Tone 2 impedance now', 'Ω'],
      ['t1_ref_impedance', 'Tone 1 reference', 'Ω'], ['t2_ref_impedance', 'Tone 2 reference', 'Ω'],
      ['t1_lower_threshold', 'Tone 1 lower threshold', 'Ω'], ['t1_upper_threshold', 'Tone 1 upper threshold', 'Ω'],
      ['t2_lower_threshold', 'Tone 2 lower threshold', 'Ω'], ['t2_upper_threshold', 'Tone 2 upper threshold', 'Ω'],
      ['t1_factor', 'Tone 1 factor', ''], ['t2_factor', 'Tone 2 factor', ''],
    ];
    const dl = h('dl', { class: 'values' });
    for (const [key, label] of result_keys) {
      results[key] = h('dd');
      dl.append(h('dt', {}, label), results[key]);
    }
    const calibrated = h('dd');
    const monitoring = h('dd');
    dl.append(h('dt', {}, 'Last calibrated'), calibrated, h('dt', {}, 'Load monitoring'), monitoring);

    const calibrate = h('button', { type: 'button' }, 'Calibrate');
    const sweep = h('button', { type: 'button' }, 'Run impedance sweep');
    const on = h('button', { type: 'button', class: 'ghost' }, 'Switch load monitoring on');
    const off = h('button', { type: 'button', class: 'ghost' }, 'Switch load monitoring off');
    const line = h('p', { role: 'status' });
    const chart_area = h('div');
    const compare_id = unique_id('compare');
    const compare = h('select', { id: compare_id });
    const legend = h('div', { class: 'legend' });
    content.append(
      h('section', { class: 'panel' }, h('h2', {}, 'Actions'),
        h('p', { class: 'hint' }, 'Calibration measures the line as it is now and takes it as the reference (up to about a minute). The sweep measures the impedance across the audio band.'),
        h('div', { class: 'row' }, calibrate, sweep, on, off), line),
      h('section', { class: 'panel', 'aria-label': 'Impedance sweep' }, h('h2', {}, 'Impedance sweep'),
        h('div', { class: 'toolbar' }, h('div', {}, h('label', { for: compare_id }, 'Compare with'), compare)),
        legend, chart_area),
      h('section', { class: 'panel' }, h('h2', {}, 'Pilot tones'),
        h('div', { class: 'fields' }, settings.map((s) => s.element)), dl));

    async function act(body, label, expected_ms) {
      const c = channel();
      const f = frame();
      [calibrate, sweep, on, off].forEach((b) => (b.disabled = true));
      set_text(line, `${label}…`);
      const record = await app.run({ device_id: f.device_id, frame_id: f.id, channel_id: c.id, ...body },
        { label: `${label}: ${frame_label(f)} channel ${app.cache.channels_of(f).indexOf(c) + 1}`, expected_ms });
      [calibrate, sweep, on, off].forEach((b) => (b.disabled = false));
      set_text(line, record.status === 'fail' ? `${label} failed: ${failure_reason(record)}` : `${label}: done.`);
      return record;
    }
    calibrate.addEventListener('click', () => act({ method: 'calibrate', calibration_type: 'ptg2' }, 'Calibration', calibration_ms));
    sweep.addEventListener('click', async () => {
      const record = await act({ method: 'calibrate', calibration_type: 'impedance_sweep' }, 'Impedance sweep', sweep_ms);
      if (record.status !== 'fail') load_sweeps();
    });
    on.addEventListener('click', () => act({ method: 'put_lms', enable: 1 }, 'Load monitoring on'));
    off.addEventListener('click', () => act({ method: 'put_lms', enable: 0 }, 'Load monitoring off'));

    let sweeps = [];
    function draw() {
      clear(chart_area);
      clear(legend);
      if (!sweeps.length) {
        chart_area.append(h('p', { class: 'empty' }, 'No sweep of this channel yet.'));
        return;
      }
      const now = sweeps[0];
      const other = sweeps.find((s) => String(s.id) === compare.value) || null;
      const as_series = (s) => ({ abs: parse_values(s.abs), dc: Number(s.dc_resistance) });
      legend.append(h('span', {}, h('span', { class: 'swatch now' }), `Latest sweep ${now.timestamp || ''}`),
        other ? h('span', {}, h('span', { class: 'swatch prev' }), `Sweep ${other.timestamp || ''}`) : null,
        h('span', {}, h('span', { class: 'swatch dc' }), `DC resistance ${number_text(now.dc_resistance, 2, 'Ω')}`));
      chart_area.append(impedance_chart(as_series(now), other ? as_series(other) : null,
        `Impedance of the line, sweep of ${now.timestamp || 'unknown time'}`));
    }
    compare.addEventListener('change', draw);

    async function load_sweeps() {
      try {
        const list = await api.sweeps(channel_id);
        sweeps = list.sort((a, b) => String(b.timestamp || '').localeCompare(String(a.timestamp || '')) || Number(b.id) - Number(a.id));
      } catch (e) {
        sweeps = [];
      }
      clear(compare);
      compare.append(h('option', { value: '' }, 'No comparison'),
        ...sweeps.slice(1).map((s) => h('option', { value: String(s.id) }, s.timestamp || `Sweep ${s.id}`)));
      if (sweeps.length > 1) compare.value = String(sweeps[1].id);
      draw();
    }
    load_sweeps();

    view = {
      refresh() {
        const c = channel();
        if (!c) return;
        for (const [key, , unit] of result_keys) set_text(results[key], number_text(c[key], key.includes('factor') ? 3 : 2, unit));
        set_text(calibrated, c.last_calibrated || 'never');
        set_text(monitoring, c.enabled_tones === '1' ? 'On' : c.enabled_tones === '0' ? 'Off' : 'unknown');
        settings.forEach((s) => s.refresh());
      },
    };
  }

  function update() {
    fill_picker();
    if (built_for !== channel_id || (!view && channel())) build();
    if (view) view.refresh();
  }

  return {
    update,
    route(p) {
      channel_id = p.id ? String(p.id) : null;
      update();
    },
  };
}
