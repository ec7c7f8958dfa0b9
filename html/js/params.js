// The settings a user edits, with their ranges, and the form fields that edit them.
//
// An edit is checked in the form (a value out of range is refused with the reason and
// not sent), then written with PUT to the frame or channel; for a frame with an
// amplifier the backend posts the changed values to it (`put_diffs`), whose progress the
// field shows. Values the amplifier family sets on the amplifier itself (a Mira
// amplifier's gain, attenuation, limiter threshold and profile) are shown read-only:
// the monitoring reads them back from the amplifier.

import { api } from './api.js';
import { h, set_text, set_attr, unique_id } from './dom.js';
import { failure_reason } from './requests.js';

// Gain limits follow the coupling of gain and sensitivity in the project store.
const full_scale = 20 * Math.log10(100 / Math.SQRT2 / 0.775);
function gain_range(frame_type) {
  const base = frame_type === 'tesira' ? 25.3 : 21.0;
  return [full_scale - base - 15, full_scale - base + 36.1];
}

const tesira_only = (type) => type === 'tesira';
const any_family = () => true;

export const parameters = {
  // channel
  gain: { label: 'Gain', unit: 'dB', digits: 2, range: (t) => gain_range(t), writable: tesira_only },
  sensitivity: { label: 'Sensitivity', integer: true, range: () => [0, 511], writable: tesira_only },
  attenuation: { label: 'Attenuation', unit: 'dB', digits: 2, range: () => [-100, 0], writable: tesira_only },
  threshold: { label: 'Limiter threshold', unit: 'V', digits: 1, range: () => [17.8, 100000], writable: tesira_only },
  profile: { label: 'Limiter profile', integer: true, range: () => [0, 5], writable: tesira_only },
  flexi_desired_vpl: { label: 'Desired peak voltage', unit: 'V', digits: 1, range: () => [17.8, 1000], writable: any_family },
  flexi_crest_factor: { label: 'Crest factor', unit: 'dB', digits: 1, range: () => [0, 40], writable: any_family },
  flexi_z_nominal_load: { label: 'Nominal load', unit: 'Ω', digits: 1, range: () => [0.5, 1000], writable: any_family },
  flexi_protected: { label: 'Protected channel', choices: [['0', 'No'], ['1', 'Yes']], writable: any_family },
  t1_cable_resistance: { label: 'Cable resistance', unit: 'Ω', digits: 2, range: () => [0, 500], writable: any_family },
  t1_frequency: { label: 'Pilot tone 1 frequency', unit: 'Hz', digits: 0, range: () => [10, 47000], writable: any_family },
  t2_frequency: { label: 'Pilot tone 2 frequency', unit: 'Hz', digits: 0, range: () => [10, 47000], writable: any_family },
  t1_amplitude: { label: 'Pilot tone 1 amplitude', digits: 3, range: () => [0, 2], writable: any_family },
  t2_amplitude: { label: 'Pilot tone 2 amplitude', digits: 3, range: () => [0, 2], writable: any_family },
  // frame
  name: { label: 'Name', text: true, writable: any_family },
  fuse_type: { label: 'Fuse type', integer: true, range: () => [0, 9], writable: any_family },
  fuse_current_limit: { label: 'Fuse current limit', unit: 'A', digits: 1, range: () => [0.1, 32], writable: any_family },
  flexi_enabled: { label: 'Power management', choices: [['0', 'Off'], ['1', 'On']], writable: any_family },
  flexi_mode: { label: 'Power management mode', integer: true, range: () => [0, 3], writable: any_family },
};

// The reason a value is refused, or '' when it is acceptable.
export function check_value(key, text, frame_type) {
  const spec = parameters[key];
  const value = String(text).trim();
  if (spec.text) {
    if (!value) return 'A name cannot be empty.';
    if (/[\u0000-\u0008\u000b\u000c\u000e-\u001f]/.test(value)) return 'Control characters are not allowed.';
    if (value.length > 64) return 'At most 64 characters.';
    return '';
  }
  if (spec.choices) return spec.choices.some(([v]) => v === value) ? '' : 'Choose one of the values offered.';
  if (value === '') return 'A value is needed.';
  if (!/^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/.test(value)) return 'Enter a number.';
  const number = Number(value);
  if (spec.integer && !Number.isInteger(number)) return 'Enter a whole number.';
  const [min, max] = spec.range(frame_type);
  if (number < min - 1e-9 || number > max + 1e-9) {
    const digits = spec.integer ? 0 : (spec.digits ?? 2);
    return `Between ${min.toFixed(digits)} and ${max.toFixed(digits)}${spec.unit ? ' ' + spec.unit : ''}.`;
  }
  return '';
}

export function display_value(key, value) {
  const spec = parameters[key];
  if (value === undefined || value === null || value === '') return '';
  if (spec.text || spec.choices || spec.integer) return String(value);
  const n = Number(value);
  if (!Number.isFinite(n)) return String(value);
  return String(Number(n.toFixed(spec.digits ?? 2)));
}

// Follows the `put_diffs` request that a PUT of an associated model posted: it is looked
// up in the request list until it has ended ("done" requests leave the list).
async function follow_put_diffs(collection, model_id, keys) {
  const field = collection === 'channels' ? 'channel_id' : 'frame_id';
  let id = null;
  for (let attempt = 0; attempt < 200; attempt += 1) {
    let records;
    try {
      records = await api.requests();
    } catch (e) {
      return { status: 'fail', error: 'The backend does not answer.' };
    }
    const record = id
      ? records.find((r) => String(r.id) === id)
      : records.find((r) => r.method === 'put_diffs' && r[field] === String(model_id) &&
          (collection === 'frames' ? !r.channel_id : true) && keys.some((k) => k in r));
    if (!record) return { status: 'done' };
    id = String(record.id);
    if (record.status === 'done' || record.status === 'fail') return record;
    await new Promise((resolve) => setTimeout(resolve, 300));
  }
  return { status: 'fail', error: 'The amplifier did not answer in time.' };
}

// One editable setting of a frame or channel. `get_model` returns the current model and
// `get_frame` its frame (for the family and whether an amplifier is associated).
export function param_field(app, collection, key, get_model, get_frame) {
  const spec = parameters[key];
  const id = unique_id(`f-${key}`);
  const error_id = `${id}-error`;
  const input = spec.choices
    ? h('select', { id, 'aria-describedby': error_id }, spec.choices.map(([v, t]) => h('option', { value: v }, t)))
    : h('input', { id, type: 'text', inputmode: spec.text ? 'text' : 'decimal', 'aria-describedby': error_id, autocomplete: 'off' });
  const unit = spec.unit ? ` (${spec.unit})` : '';
  const message = h('span', { id: error_id, class: 'error-text', 'aria-live': 'polite' });
  const element = h('div', { class: 'field', dataset: { key } },
    h('label', { for: id }, spec.label, unit), input, message);
  let editing = false;
  let sent = null;  // the text last committed, so Enter and the change that follows commit once

  function writable() {
    const frame = get_frame();
    return !!frame && spec.writable(frame.frame_type || 'mira');
  }

  function refresh() {
    const model = get_model();
    if (!model) return;
    const can_write = writable();
    set_attr(input, 'readonly', !can_write && !spec.choices);
    set_attr(input, 'disabled', !can_write && !!spec.choices);
    set_attr(input, 'title', can_write ? null : 'Set on the amplifier itself; read back by monitoring');
    if (editing || document.activeElement === input) return;
    const text = display_value(key, model[key]);
    if (input.value !== text) input.value = text;
  }

  async function commit() {
    editing = false;
    const model = get_model();
    const frame = get_frame();
    if (!model || !writable()) return;
    const value = input.value.trim();
    if (value === sent) return;
    if (value === display_value(key, model[key])) {
      set_attr(input, 'aria-invalid', null);
      set_text(message, '');
      return;
    }
    const reason = check_value(key, value, frame.frame_type || 'mira');
    if (reason) {
      set_attr(input, 'aria-invalid', 'true');
      message.className = 'error-text';
      set_text(message, reason);
      return;
    }
    set_attr(input, 'aria-invalid', null);
    message.className = 'hint';
    set_text(message, 'Saving…');
    sent = value;
    try {
      await api.put(collection, model.id, { [key]: value });
    } catch (e) {
      message.className = 'error-text';
      set_text(message, `Not saved: ${e.message}`);
      return;
    }
    if (!frame.device_id) {
      set_text(message, 'Saved in the project.');
      return;
    }
    set_text(message, 'Writing to the amplifier…');
    const record = await follow_put_diffs(collection, model.id, [key]);
    if (record.status === 'fail') {
      message.className = 'error-text';
      set_text(message, `Saved in the project; the amplifier refused it: ${failure_reason(record)}`);
    } else {
      set_text(message, 'Written to the amplifier.');
    }
  }

  input.addEventListener('input', () => {
    editing = true;
    sent = null;
  });
  input.addEventListener('change', commit);
  input.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') {
      event.preventDefault();
      commit();
    } else if (event.key === 'Escape' && editing) {
      editing = false;
      input.value = display_value(key, (get_model() || {})[key]);
      set_attr(input, 'aria-invalid', null);
      set_text(message, '');
    }
  });
  refresh();
  return { element, refresh };
}
