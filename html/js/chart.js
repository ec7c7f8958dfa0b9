// The impedance chart: magnitude against frequency as an SVG line chart with a
// logarithmic frequency axis, the DC resistance marked, and optionally a previous sweep
// for comparison.
//
// The analyser measures 148 points spaced evenly on a logarithmic scale from 20 Hz to
// 20 kHz; point i lies at 20 · 1000^(i / 147) Hz.

import { h } from './dom.js';

export const sweep_points = 148;
export const first_hz = 20;
export const last_hz = 20000;

export function point_frequency(i, count = sweep_points) {
  return first_hz * Math.pow(last_hz / first_hz, i / (count - 1));
}

export function parse_values(text) {
  return String(text || '').trim().split(/\s+/).filter(Boolean).map(Number).filter(Number.isFinite);
}

function nice_step(range) {
  const rough = range / 5;
  const power = Math.pow(10, Math.floor(Math.log10(rough)));
  for (const m of [1, 2, 2.5, 5, 10]) if (m * power >= rough) return m * power;
  return 10 * power;
}

function frequency_label(hz) {
  return hz >= 1000 ? `${hz / 1000}k` : String(hz);
}

// `now` and `previous`: {abs: [numbers], dc: number, label: text}; previous may be null.
export function impedance_chart(now, previous, title) {
  const width = 820;
  const height = 380;
  const m = { left: 64, right: 20, top: 20, bottom: 52 };
  const plot_w = width - m.left - m.right;
  const plot_h = height - m.top - m.bottom;
  const series = [now, previous].filter(Boolean);
  const all = series.flatMap((s) => [...s.abs, s.dc]).filter(Number.isFinite);
  const top_value = Math.max(1, ...all) * 1.1;
  const step = nice_step(top_value);
  const y_max = Math.ceil(top_value / step) * step;
  const x = (hz) => m.left + (plot_w * Math.log(hz / first_hz)) / Math.log(last_hz / first_hz);
  const y = (ohm) => m.top + plot_h - (plot_h * ohm) / y_max;

  const title_id = `chart-title-${Math.random().toString(36).slice(2)}`;
  const desc_id = `${title_id}-desc`;
  const parts = [];
  parts.push(h('svg:title', { id: title_id }, title));
  const min_now = now.abs.length ? Math.min(...now.abs) : NaN;
  const max_now = now.abs.length ? Math.max(...now.abs) : NaN;
  parts.push(h('svg:desc', { id: desc_id },
    `Impedance from ${min_now.toFixed(2)} to ${max_now.toFixed(2)} ohm between 20 Hz and 20 kHz; DC resistance ${Number(now.dc).toFixed(2)} ohm.`));

  for (const hz of [20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000]) {
    parts.push(h('svg:line', { class: 'grid', x1: x(hz), x2: x(hz), y1: m.top, y2: m.top + plot_h }));
    parts.push(h('svg:text', { x: x(hz), y: m.top + plot_h + 18, 'text-anchor': 'middle' }, frequency_label(hz)));
  }
  for (let v = 0; v <= y_max + 1e-9; v += step) {
    parts.push(h('svg:line', { class: 'grid', x1: m.left, x2: m.left + plot_w, y1: y(v), y2: y(v) }));
    parts.push(h('svg:text', { x: m.left - 8, y: y(v) + 4, 'text-anchor': 'end' }, String(Number(v.toFixed(2)))));
  }
  parts.push(h('svg:line', { class: 'axis', x1: m.left, x2: m.left + plot_w, y1: m.top + plot_h, y2: m.top + plot_h }));
  parts.push(h('svg:line', { class: 'axis', x1: m.left, x2: m.left, y1: m.top, y2: m.top + plot_h }));
  parts.push(h('svg:text', { x: m.left + plot_w / 2, y: height - 10, 'text-anchor': 'middle' }, 'Frequency (Hz, logarithmic)'));
  parts.push(h('svg:text', { x: 16, y: m.top + plot_h / 2, 'text-anchor': 'middle', transform: `rotate(-90 16 ${m.top + plot_h / 2})` }, 'Impedance (Ω)'));

  const line = (s, cls) => h('svg:polyline', {
    class: cls,
    points: s.abs.map((v, i) => `${x(point_frequency(i, s.abs.length)).toFixed(1)},${y(v).toFixed(1)}`).join(' '),
  });
  if (previous && previous.abs.length > 1) parts.push(line(previous, 'line-prev'));
  if (now.abs.length > 1) parts.push(line(now, 'line-now'));
  if (Number.isFinite(Number(now.dc))) {
    const yd = y(Number(now.dc));
    parts.push(h('svg:line', { class: 'dc', x1: m.left, x2: m.left + plot_w, y1: yd, y2: yd }));
    parts.push(h('svg:text', { x: m.left + plot_w - 4, y: yd - 5, 'text-anchor': 'end' }, `DC ${Number(now.dc).toFixed(2)} Ω`));
  }
  return h('svg:svg', { class: 'chart', viewBox: `0 0 ${width} ${height}`, role: 'img', 'aria-labelledby': title_id, 'aria-describedby': desc_id }, parts);
}
