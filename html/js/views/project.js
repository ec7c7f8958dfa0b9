// Project (#project): new project from the template, open a saved project or a file,
// save, save as (with the overwrite question), Tesira import and export.

import { h, set_text, clear } from '../dom.js';
import { api } from '../api.js';
import { confirm_dialog, form_dialog } from '../dialogs.js';
import { failure_reason } from '../requests.js';

// The backend saves a project only under a plain file name: not starting with a dot (no
// hidden files, no "." or ".."), without slashes, backslashes or control characters, and
// at most 255 bytes long. The name is checked as it will be saved, with its ".xml".
const max_file_name_bytes = 255;

export function project_file_name(name) {
  return /\.xml$/i.test(name) ? name : `${name}.xml`;
}

export function check_file_name(name) {
  if (!name) return 'A file name is needed.';
  if (name.startsWith('.')) return 'A file name cannot start with a dot.';
  if (/[/\\\u0000-\u001f\u007f]/.test(name)) return 'A file name without slashes or control characters.';
  if (new TextEncoder().encode(project_file_name(name)).length > max_file_name_bytes) {
    return `At most ${max_file_name_bytes} bytes, with “.xml”.`;
  }
  return '';
}

// The largest Tesira configuration file the backend imports.
export const tesira_import_max_bytes = 16 * 1024 * 1024;

export function check_tesira_file(file) {
  if (!file) return 'Choose a file.';
  if (file.size > tesira_import_max_bytes) return 'The file is larger than 16 MiB; a Tesira configuration file is far smaller.';
  return '';
}

function read_file(file) {
  return new Promise((resolve, reject) => {
    const reader = new FileReader();
    reader.onload = () => resolve(String(reader.result));
    reader.onerror = () => reject(reader.error);
    reader.readAsText(file);
  });
}

export function project_screen(app, main) {
  const status = h('p', { role: 'status' });
  const name = h('dd');
  const file = h('dd');
  const state = h('dd');
  const saved_list = h('div');
  const buttons = {
    new: h('button', { type: 'button', class: 'ghost' }, 'New project'),
    save: h('button', { type: 'button' }, 'Save'),
    save_as: h('button', { type: 'button', class: 'ghost' }, 'Save as…'),
    upload: h('button', { type: 'button', class: 'ghost' }, 'Open a file…'),
    tesira_import: h('button', { type: 'button', class: 'ghost' }, 'Import Tesira project…'),
    tesira_export: h('button', { type: 'button', class: 'ghost' }, 'Export Tesira document'),
  };
  main.append(h('h1', {}, 'Project'),
    h('section', { class: 'panel' },
      h('dl', { class: 'values' }, h('dt', {}, 'Project'), name, h('dt', {}, 'File'), file, h('dt', {}, 'Changes'), state),
      h('div', { class: 'row' }, buttons.new, buttons.save, buttons.save_as, buttons.upload), status),
    h('section', { class: 'panel' }, h('h2', {}, 'Saved projects'), saved_list),
    h('section', { class: 'panel' }, h('h2', {}, 'Tesira'),
      h('p', { class: 'hint' }, 'Import the amplifier blocks of a Tesira project file as frames, or export the Tesira-hosted frames as a document.'),
      h('div', { class: 'row' }, buttons.tesira_import, buttons.tesira_export)));

  async function run(body, label, options) {
    set_text(status, `${label}…`);
    const record = await app.run(body, { label, ...options });
    set_text(status, record.status === 'fail' ? `${label} failed: ${failure_reason(record)}` : `${label}: done.`);
    return record;
  }

  async function may_discard() {
    if (!app.state.dirty) return true;
    return confirm_dialog('Unsaved changes', 'The project has unsaved changes. Discard them?', 'Discard', true);
  }

  async function open_text(text, label) {
    const record = await run({ method: 'import_config', data: text }, label);
    await app.cache.refresh();
    load_saved();
    return record;
  }

  buttons.new.addEventListener('click', async () => {
    if (!await may_discard()) return;
    await open_text('empty configuration', 'New project');
  });

  // Asks for a file and reads it; resolves with {file, text}, or null.
  async function choose_file(title, label, submit, accept, validate) {
    const values = await form_dialog(title, [{ name: 'file', label, type: 'file', accept, required: true, validate }], submit);
    if (!values || !values.file) return null;
    try {
      return { file: values.file, text: await read_file(values.file) };
    } catch (e) {
      set_text(status, `The file could not be read: ${e.message}`);
      return null;
    }
  }

  buttons.upload.addEventListener('click', async () => {
    const chosen = await choose_file('Open a project file', 'Project file (.xml)', 'Open', '.xml,application/xml,text/xml');
    if (!chosen || !await may_discard()) return;
    await open_text(chosen.text, `Open ${chosen.file.name}`);
  });

  async function save_as(initial) {
    const settings = app.cache.settings || {};
    const values = initial || await form_dialog('Save as', [
      { name: 'project', label: 'Project name', value: settings.project || '', required: true },
      { name: 'filename', label: 'File name', value: settings.filename || '', required: true, validate: check_file_name },
    ], 'Save');
    if (!values) return null;
    const filename = project_file_name(values.filename);
    const body = { method: 'export_config', mode: 'save_as', filename, project: values.project };
    if (values.overwrite) body.overwrite = 'true';
    const record = await run(body, `Save as ${filename}`);
    if (record.export_result === '2') {
      set_text(status, `A project file named ${filename} exists already.`);
      if (await confirm_dialog('Replace file', `A project file named “${filename}” exists already. Replace it?`, 'Replace', true)) {
        return save_as({ ...values, filename, overwrite: true });
      }
      return record;
    }
    await app.cache.refresh();
    load_saved();
    return record;
  }
  buttons.save_as.addEventListener('click', () => save_as());

  buttons.save.addEventListener('click', async () => {
    if (!(app.cache.settings || {}).filename) {
      save_as();
      return;
    }
    await run({ method: 'export_config', mode: 'save' }, 'Save');
    load_saved();
  });

  buttons.tesira_import.addEventListener('click', async () => {
    const chosen = await choose_file('Import a Tesira project', 'Tesira configuration file', 'Import', undefined,
      check_tesira_file);
    if (!chosen) return;
    await run({ method: 'import_tesira', data: chosen.text }, `Import ${chosen.file.name}`);
    app.cache.schedule_refresh(0);
  });

  buttons.tesira_export.addEventListener('click', async () => {
    try {
      const text = await api.tesira_export();
      const url = URL.createObjectURL(new Blob([text], { type: 'application/xml' }));
      const link = h('a', { href: url, download: 'tesira_export.xml' });
      document.body.append(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(url), 10000);
      set_text(status, 'The Tesira document was downloaded.');
    } catch (e) {
      set_text(status, `Export failed: ${e.message}`);
    }
  });

  async function load_saved() {
    let list;
    try {
      list = await api.saved_projects();
    } catch (e) {
      clear(saved_list);
      saved_list.append(h('p', { class: 'hint' }, 'The list of saved projects is not available; open a file instead.'));
      return;
    }
    clear(saved_list);
    if (!Array.isArray(list) || !list.length) {
      saved_list.append(h('p', { class: 'empty' }, 'No saved projects yet.'));
      return;
    }
    saved_list.append(h('div', { class: 'table-wrap' }, h('table', {},
      h('thead', {}, h('tr', {}, ['Project', 'File', 'Saved', 'Action'].map((t) => h('th', { scope: 'col' }, t)))),
      h('tbody', {}, list.map((entry) => {
        const open = h('button', { type: 'button', class: 'ghost', 'aria-label': `Open ${entry.filename}` }, 'Open');
        open.addEventListener('click', async () => {
          if (!await may_discard()) return;
          try {
            const text = await (await fetch(`/api/projects/${encodeURIComponent(entry.filename)}`, { cache: 'no-store' })).text();
            await open_text(text, `Open ${entry.filename}`);
          } catch (e) {
            set_text(status, `Opening failed: ${e.message}`);
          }
        });
        const saved = entry.modified ? new Date(entry.modified) : null;
        return h('tr', {}, h('td', {}, entry.project || '—'), h('td', {}, entry.filename),
          h('td', {}, saved && !Number.isNaN(saved.getTime()) ? saved.toLocaleString() : entry.modified || ''), h('td', {}, open));
      })))));
  }

  function update() {
    const s = app.cache.settings || {};
    set_text(name, s.project || 'Untitled');
    set_text(file, s.filename || 'not saved yet');
    set_text(state, app.state.dirty ? 'Unsaved changes' : 'All changes saved');
  }
  const listeners = [app.live.on('word:project_dirty', update), app.live.on('word:project_up_to_date', update)];
  load_saved();
  update();
  return { update, unmount: () => listeners.forEach((off) => off()) };
}
