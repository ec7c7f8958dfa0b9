// Synchronisation (#sync): download every amplifier into the project or upload the
// project to every amplifier, with progress per amplifier; after a download that found
// differences, the report as a table, and the choice to keep the amplifiers' values,
// roll back (restore the project and write it to the amplifiers) or cancel (restore the
// project only).

import { h, set_text, clear } from '../dom.js';
import { api } from '../api.js';
import { failure_reason } from '../requests.js';

const key_labels = {
  name: 'Name', gain: 'Gain', threshold: 'Limiter threshold', profile: 'Limiter profile', attenuation: 'Attenuation',
  fuse_type: 'Fuse type', fuse_current_limit: 'Fuse current limit', flexi_desired_vpl: 'Desired peak voltage',
  flexi_crest_factor: 'Crest factor', flexi_z_nominal_load: 'Nominal load', actual_vpl_threshold: 'Actual limiter threshold',
  t1_cable_resistance: 'Cable resistance (tone 1)', t2_cable_resistance: 'Cable resistance (tone 2)',
};

// The difference report: entries of nine strings (see docs/synchronisation.md).
export function parse_report(text) {
  if (!text) return [];
  try {
    const entries = JSON.parse(text);
    return Array.isArray(entries) ? entries.filter((e) => Array.isArray(e) && e.length >= 9) : [];
  } catch (e) {
    return [];
  }
}

export function sync_screen(app, main) {
  const download = h('button', { type: 'button' }, 'Download all amplifiers');
  const upload = h('button', { type: 'button', class: 'ghost' }, 'Upload project to all amplifiers');
  const status = h('p', { role: 'status' });
  const report = h('section', { class: 'panel', 'aria-labelledby': 'report-title' });
  main.append(h('h1', {}, 'Synchronisation'),
    h('section', { class: 'panel' },
      h('p', { class: 'hint' }, 'A download reads every amplifier into the project and reports what differed. An upload writes the project to every amplifier.'),
      h('div', { class: 'row' }, download, upload), status),
    report);

  const resolved = app.state.resolved_downloads || (app.state.resolved_downloads = new Set());

  async function start(direction) {
    download.disabled = upload.disabled = true;
    set_text(status, direction === 'get' ? 'Downloading…' : 'Uploading…');
    const record = await app.run({ method: 'sync', status: 'start', direction },
      { label: direction === 'get' ? 'Download all amplifiers' : 'Upload to all amplifiers' });
    download.disabled = upload.disabled = false;
    if (record.status === 'fail') {
      set_text(status, `${direction === 'get' ? 'Download' : 'Upload'} failed: ${failure_reason(record)}`);
    } else if (direction === 'get') {
      const note = record.any_disconnected === 'true' ? ' Some amplifiers could not be read.' : '';
      set_text(status, (record.diff_result === undefined ? 'Download finished: no differences.' : 'Download finished with differences.') + note);
      app.state.last_download = record;
      show_report(record);
    } else {
      set_text(status, 'Upload finished.');
    }
    app.cache.schedule_refresh(0);
  }
  download.addEventListener('click', () => start('get'));
  upload.addEventListener('click', () => start('put'));

  function show_report(record) {
    clear(report);
    if (!record || record.diff_result === undefined || resolved.has(String(record.id))) {
      report.hidden = true;
      return;
    }
    report.hidden = false;
    const entries = parse_report(record.diff_result);
    const when = record.timestamp ? new Date(Number(record.timestamp) * 1000).toLocaleString() : '';
    report.append(h('h2', { id: 'report-title' }, 'Differences found by the download'),
      h('p', { class: 'hint' }, `Download ${when}. The project held the first value; the amplifier the second, which the project holds now.`));
    if (!entries.length) {
      report.append(h('p', {}, 'The number of frames or channels differs; there are no single values to show.'));
    } else {
      report.append(h('div', { class: 'table-wrap' }, h('table', { class: 'diff-table' },
        h('caption', { class: 'hint' }, `${entries.length} difference${entries.length === 1 ? '' : 's'}`),
        h('thead', {}, h('tr', {}, ['Frame', 'Channel', 'Setting', 'Project value', 'Amplifier value'].map((t) => h('th', { scope: 'col' }, t)))),
        h('tbody', {}, entries.map((e) => h('tr', {},
          h('td', {}, e[6] || e[5] || e[0]),
          h('td', {}, e[1] === 'frame' ? '—' : `${Number(e[1]) + 1}${e[8] && e[2] !== 'name' ? ' (' + e[8] + ')' : ''}`),
          h('td', {}, key_labels[e[2]] || e[2]),
          h('td', {}, e[3]),
          h('td', {}, e[4])))))));
    }
    const line = h('p', { role: 'status' });
    const keep = h('button', { type: 'button' }, 'Keep amplifier values');
    const rollback = h('button', { type: 'button', class: 'ghost' }, 'Roll back (write project to amplifiers)');
    const cancel = h('button', { type: 'button', class: 'ghost' }, 'Cancel (restore project only)');
    const buttons = [keep, rollback, cancel];
    keep.addEventListener('click', () => {
      resolved.add(String(record.id));
      show_report(null);
      set_text(status, 'The amplifiers’ values are kept in the project.');
    });
    async function undo(kind) {
      buttons.forEach((b) => (b.disabled = true));
      set_text(line, kind === 'rollback' ? 'Rolling back…' : 'Restoring the project…');
      const result = await app.run({ method: 'sync', status: kind, current_config: record.current_config, sync_request_id: record.id },
        { label: kind === 'rollback' ? 'Roll back the download' : 'Cancel the download' });
      buttons.forEach((b) => (b.disabled = false));
      if (result.status === 'fail') {
        set_text(line, `Failed: ${failure_reason(result)}`);
        return;
      }
      resolved.add(String(record.id));
      show_report(null);
      set_text(status, kind === 'rollback' ? 'Rolled back: the project was restored and written to the amplifiers.' : 'The project was restored; the amplifiers keep their values.');
      app.cache.schedule_refresh(0);
    }
    rollback.addEventListener('click', () => undo('rollback'));
    cancel.addEventListener('click', () => undo('cancel'));
    report.append(h('div', { class: 'row' }, buttons), line);
  }

  // The latest download with differences, also one started elsewhere (the launcher).
  async function latest() {
    if (app.state.last_download) {
      show_report(app.state.last_download);
      return;
    }
    try {
      const records = await api.requests();
      const downloads = records.filter((r) => r.method === 'sync' && r.direction === 'get' && r.status === 'done' && r.diff_result !== undefined)
        .sort((a, b) => Number(b.timestamp || 0) - Number(a.timestamp || 0));
      show_report(downloads[0] || null);
    } catch (e) {
      show_report(null);
    }
  }
  latest();
  return {};
}
