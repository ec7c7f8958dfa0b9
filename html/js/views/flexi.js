// Power management (#flexi, #flexi/<id>, #flexi/search/<tag>): the limiter and
// power-management settings of one frame's channels, its fuse values and the limits the
// amplifier reports.

import { h, set_text, clear, unique_id } from '../dom.js';
import { number_text, frame_label, by_label } from '../format.js';
import { param_field } from '../params.js';

export function flexi_screen(app, main, params) {
  let frame_id = params.id ? String(params.id) : null;
  let search = params.search;
  const frame = () => (frame_id ? app.cache.frames.get(frame_id) : null);
  const select_id = unique_id('flexi-frame');
  const picker = h('select', { id: select_id });
  const note = h('p', { class: 'hint', role: 'status' });
  const content = h('div');
  main.append(h('h1', {}, 'Power management'),
    h('div', { class: 'toolbar' }, h('div', {}, h('label', { for: select_id }, 'Frame'), picker)),
    note, content);
  picker.addEventListener('change', () => app.navigate(picker.value ? `#flexi/${picker.value}` : '#flexi'));

  let parts = null;
  let built_for = null;

  function build() {
    clear(content);
    parts = null;
    built_for = frame_id;
    const f = frame();
    if (!f) return;
    const frame_fields = ['flexi_enabled', 'flexi_mode', 'fuse_type', 'fuse_current_limit']
      .map((key) => param_field(app, 'frames', key, frame, frame));
    const limits = { fuse_actual: h('span'), max_v: h('span'), max_i: h('span') };
    const channel_keys = ['flexi_desired_vpl', 'flexi_crest_factor', 'flexi_z_nominal_load', 'flexi_protected', 'threshold', 'profile'];
    const rows = [0, 1, 2, 3].map((index) => {
      const get_channel = () => app.cache.channels_of(frame())[index];
      const fields = channel_keys.map((key) => param_field(app, 'channels', key, get_channel, frame));
      const actual = h('span');
      const max_v = h('span');
      const heading = h('h3');
      const section = h('section', { class: 'channel', 'aria-label': `Channel ${index + 1}` }, heading,
        h('div', { class: 'fields' }, fields.map((x) => x.element)),
        h('dl', { class: 'values' }, h('dt', {}, 'Actual limiter threshold'), h('dd', {}, actual),
          h('dt', {}, 'Highest output voltage'), h('dd', {}, max_v)));
      return {
        section,
        refresh() {
          const c = get_channel();
          section.hidden = !c;
          if (!c) return;
          set_text(heading, `Channel ${index + 1}${c.name ? ' — ' + c.name : ''}`);
          set_text(actual, number_text(c.actual_vpl_threshold, 1, 'V'));
          set_text(max_v, number_text(c.flexi_amp_max_out_voltage, 1, 'V'));
          fields.forEach((x) => x.refresh());
        },
      };
    });
    content.append(
      h('section', { class: 'panel' }, h('h2', {}, 'Frame'),
        h('div', { class: 'fields' }, frame_fields.map((x) => x.element)),
        h('dl', { class: 'values' },
          h('dt', {}, 'Actual fuse limit'), h('dd', {}, limits.fuse_actual),
          h('dt', {}, 'Highest output voltage'), h('dd', {}, limits.max_v),
          h('dt', {}, 'Highest output current'), h('dd', {}, limits.max_i))),
      h('h2', {}, 'Channels'),
      h('div', { class: 'channels' }, rows.map((r) => r.section)));
    parts = {
      refresh() {
        const g = frame();
        if (!g) return;
        set_text(limits.fuse_actual, number_text(g.fuse_actual_limit, 1, 'A'));
        set_text(limits.max_v, number_text(g.amp_max_out_voltage, 1, 'V'));
        set_text(limits.max_i, number_text(g.amp_max_out_current, 1, 'A'));
        frame_fields.forEach((x) => x.refresh());
        rows.forEach((r) => r.refresh());
      },
    };
  }

  function fill_picker() {
    const frames = [...app.cache.frames.values()].sort(by_label);
    const wanted = ['', ...frames.map((f) => String(f.id))].join(',') + '|' + frames.map(frame_label).join(',');
    if (picker.dataset.key !== wanted) {
      picker.dataset.key = wanted;
      clear(picker);
      picker.append(h('option', { value: '' }, 'Choose a frame'),
        ...frames.map((f) => h('option', { value: String(f.id) }, `${frame_label(f)}${f.device_id ? '' : ' (no amplifier)'}`)));
    }
    picker.value = frame_id && app.cache.frames.has(frame_id) ? frame_id : '';
  }

  function update() {
    if (search) {
      const found = app.cache.find_frame(search);
      if (found) {
        search = null;
        frame_id = String(found.id);
      } else {
        set_text(note, app.cache.loaded ? `Looking for “${search}”…` : '');
      }
    }
    fill_picker();
    if (!search) set_text(note, frame() ? '' : 'Choose a frame to see its power management.');
    if (built_for !== frame_id || (!parts && frame())) build();
    if (parts) parts.refresh();
  }

  return {
    update,
    route(p) {
      frame_id = p.id ? String(p.id) : null;
      search = p.search;
      update();
    },
  };
}
