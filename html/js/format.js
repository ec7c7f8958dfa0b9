// How the project's values are shown: status codes as coloured badges with their reason
// texts, power states, temperatures, numbers. Status codes come from the amplifier:
// 0 normal, 1 warning, 2 fault, 3 nothing known (before a read, or in standby).

import { h, set_text, set_attr } from './dom.js';

export const status_words = { 0: 'OK', 1: 'Warning', 2: 'Fault', 3: 'Unknown' };

// Rank for sorting by state: faults first, then warnings, then unknown, then OK.
export function status_rank(code) {
  return { 2: 0, 1: 1, 3: 2, 0: 3 }[code] ?? 4;
}

export function badge(code, reason) {
  const element = h('span', { class: 'status' }, h('span', { class: 'badge' }), h('span', { class: 'reason' }));
  update_badge(element, code, reason);
  return element;
}

// Updates a badge made by `badge` in place.
export function update_badge(element, code, reason) {
  const known = code !== undefined && code !== null && code !== '';
  const b = element.firstChild;
  set_text(b, known ? status_words[code] || `Code ${code}` : '—');
  const cls = `badge ${known ? 's' + code : 'none'}`;
  if (b.className !== cls) b.className = cls;
  set_text(element.lastChild, reason || '');
  set_attr(element, 'data-status', known ? code : '');
}

export function network_badge(frame) {
  const element = h('span', { class: 'badge' });
  update_network_badge(element, frame);
  return element;
}

export function update_network_badge(element, frame) {
  let text = 'Not associated';
  let cls = 'badge none';
  if (frame.device_id) {
    if (frame.mon_network_status === 'online') [text, cls] = ['Online', 'badge online'];
    else if (frame.mon_network_status === 'offline') [text, cls] = ['Offline', 'badge offline'];
    else [text, cls] = ['Not read yet', 'badge none'];
  }
  set_text(element, text);
  if (element.className !== cls) element.className = cls;
}

export function power_text(frame) {
  if (!frame.device_id || frame.power_status === undefined || frame.power_status === '') return '—';
  return frame.power_status === '0' ? 'Standby' : 'On';
}

export function temperature_text(value) {
  if (value === undefined || value === '') return '—';
  const n = Number(value);
  return Number.isFinite(n) ? `${Math.round(n)} °C` : value;
}

export function number_text(value, digits = 1, unit = '') {
  if (value === undefined || value === null || value === '') return '—';
  const n = Number(value);
  if (!Number.isFinite(n)) return String(value);
  return `${n.toFixed(digits)}${unit ? ' ' + unit : ''}`;
}

export function sync_text(frame) {
  if (!frame.device_id) return '';
  return frame.synced === 'true' ? 'Synced' : 'Out of sync';
}

// The worst status of a frame (frame status and the three channel summaries).
export function worst_status(frame) {
  const codes = [frame.mon_frame_status, frame.mon_chs_amp_status, frame.mon_chs_load_status, frame.mon_chs_signal_status]
    .filter((c) => c !== undefined && c !== '');
  if (!codes.length) return '';
  return codes.sort((a, b) => status_rank(a) - status_rank(b))[0];
}

export function frame_label(frame) {
  return frame.name || frame.device_id || `Frame ${frame.id}`;
}

// One collator for every comparison ("Amp 2" before "Amp 10"): making one per comparison
// is what costs most when a hundred frames are sorted.
export const collator = new Intl.Collator(undefined, { numeric: true });

// Frames in the order of their labels (then ids).
export function by_label(a, b) {
  return collator.compare(frame_label(a), frame_label(b)) || Number(a.id) - Number(b.id);
}

export function channel_label(channel, index) {
  return `Channel ${index + 1}${channel.name ? ' — ' + channel.name : ''}`;
}
