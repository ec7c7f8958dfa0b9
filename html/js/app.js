// Start of the web user interface: the connection to the backend, the project copy, the
// screens behind the address's hash (#frames, #frames/search/<tag>, #frames/<id>,
// #flexi, #load, #sync, #network, #project), and the banners and dialogs that any
// screen may need (connection lost, old firmware, server login, unsaved changes).

import { api, unsubscribe_on_exit } from './api.js';
import { live_connection } from './live.js';
import { project_cache } from './cache.js';
import { request_tracker } from './requests.js';
import { h, set_text, clear } from './dom.js';
import { form_dialog } from './dialogs.js';
import { frames_screen } from './views/frames.js';
import { frame_screen } from './views/frame.js';
import { flexi_screen } from './views/flexi.js';
import { network_screen } from './views/network.js';
import { sync_screen } from './views/sync.js';
import { load_screen } from './views/load.js';
import { project_screen } from './views/project.js';

const screens = {
  frames: frames_screen,
  frame: frame_screen,
  flexi: flexi_screen,
  network: network_screen,
  sync: sync_screen,
  load: load_screen,
  project: project_screen,
};

const live = new live_connection();
const cache = new project_cache();
const tracker = new request_tracker(live, document.getElementById('activity-list'),
  document.getElementById('activity-count'), document.getElementById('toasts'));
tracker.on_finish = () => cache.schedule_refresh(0);
const main = document.getElementById('main');
const banners = document.getElementById('banners');

const app = {
  cache,
  live,
  tracker,
  run: (body, options) => tracker.run(body, options),
  navigate: (hash) => {
    if (location.hash === hash) route();
    else location.hash = hash;
  },
  state: {},  // what screens keep between visits (filters, sort, selection)
};

// --- screens -------------------------------------------------------------------------

let current = null;

function parse_hash() {
  const parts = location.hash.replace(/^#/, '').split('/').map((p) => {
    try {
      return decodeURIComponent(p);
    } catch (e) {
      return p;
    }
  });
  let name = parts[0] || 'frames';
  const params = { search: null, id: null, rest: parts.slice(1) };
  if (parts[1] === 'search') params.search = parts.slice(2).join('/');
  else if (parts[1]) params.id = parts[1];
  if (name === 'frames' && params.id) name = 'frame';
  if (!screens[name]) name = 'frames';
  return { name, params };
}

function route() {
  const { name, params } = parse_hash();
  for (const link of document.querySelectorAll('nav.tabs a')) {
    const on = link.dataset.screen === name || (name === 'frame' && link.dataset.screen === 'frames');
    if (on) link.setAttribute('aria-current', 'page');
    else link.removeAttribute('aria-current');
  }
  if (current && current.name === name && current.view.route) {
    current.view.route(params);
    return;
  }
  if (current && current.view.unmount) current.view.unmount();
  clear(main);
  const view = screens[name](app, main, params);
  current = { name, view };
  if (cache.loaded && view.update) view.update({ frames: new Set(), channels: new Set(), structure: true, settings: true });
}

window.addEventListener('hashchange', route);
cache.on_change((change) => {
  if (current && current.view.update) current.view.update(change);
  update_project_name();
});

// --- connection ----------------------------------------------------------------------

const connection = document.getElementById('connection');
let connection_banner = null;

function show_connection_banner(text, kind) {
  if (!connection_banner) {
    connection_banner = h('p', { class: `banner ${kind}`, role: 'alert' });
    banners.prepend(connection_banner);
  }
  connection_banner.className = `banner ${kind}`;
  set_text(connection_banner, text);
}

function hide_connection_banner() {
  if (connection_banner) connection_banner.remove();
  connection_banner = null;
}

live.on('state', (state) => {
  if (state === 'up') {
    set_text(connection, 'Connected');
    connection.className = 'connection up';
    hide_connection_banner();
  } else if (state === 'shutdown') {
    set_text(connection, 'Backend stopped');
    connection.className = 'connection down';
    show_connection_banner('The backend has shut down. This page reconnects by itself when it runs again.', 'error');
  } else {
    set_text(connection, 'Disconnected');
    connection.className = 'connection down';
    show_connection_banner('The connection to the backend was lost. Reconnecting…', 'error');
  }
});

live.on('open', async () => {
  try {
    // Subscriptions live in the backend: after a restart they are made again.
    await Promise.all(['frames', 'channels', 'settings'].map((type) => api.subscribe(type, 0)));
  } catch (e) {
    // The next reconnection tries again.
  }
  cache.refresh().catch(() => {});
  refresh_dirty();
  check_logins();
});
unsubscribe_on_exit('frames');
unsubscribe_on_exit('channels');
unsubscribe_on_exit('settings');

live.on('events', (events) => cache.apply_events(events));
live.on('word:sigupdate', () => cache.schedule_refresh(0, 5000));
for (const word of ['working_copy_loaded', 'sigwaitdone']) live.on(`word:${word}`, () => cache.schedule_refresh(0));

// --- project name and unsaved changes ------------------------------------------------

const dirty_mark = document.getElementById('dirty-mark');
const project_name = document.getElementById('project-name');

function set_dirty(dirty) {
  dirty_mark.hidden = !dirty;
  app.state.dirty = dirty;
}

async function refresh_dirty() {
  try {
    const status = await api.project_status();
    set_dirty(status.project_dirty === 'true');
  } catch (e) {
    // shown by the connection state
  }
}

live.on('word:project_dirty', () => set_dirty(true));
live.on('word:project_up_to_date', () => {
  set_dirty(false);
  cache.schedule_refresh(0);
});

function update_project_name() {
  const s = cache.settings || {};
  const name = s.project || s.filename || 'Untitled project';
  set_text(project_name, name);
  document.title = `${name} — Orva`;
}

// --- old firmware and logins ---------------------------------------------------------

let firmware_banner = null;
live.on('word:old_fw_detected', () => {
  if (firmware_banner) return;
  firmware_banner = h('div', { class: 'banner warn', role: 'alert' },
    h('span', {}, 'An amplifier runs firmware older than this system supports. Settings cannot be written to it until its firmware is updated.'),
    h('button', { type: 'button', class: 'ghost', onclick: () => {
      firmware_banner.remove();
      firmware_banner = null;
    } }, 'Dismiss'));
  banners.append(firmware_banner);
});

let login_open = false;
async function check_logins() {
  let text;
  try {
    text = await api.login_servers();
  } catch (e) {
    return;
  }
  // The answer repeats the member "server": collect every value.
  const servers = [...text.matchAll(/"server"\s*:\s*"((?:[^"\\]|\\.)*)"/g)].map((m) => JSON.parse(`"${m[1]}"`));
  if (servers.length) ask_login([...new Set(servers)]);
}

async function ask_login(servers) {
  if (login_open) return;
  login_open = true;
  try {
    const values = await form_dialog('Server login', [
      servers.length > 1
        ? { name: 'systemname', label: 'Server', options: servers.map((s) => [s, s]), value: servers[0] }
        : { name: 'systemname', label: 'Server', value: servers[0] || '', required: true },
      { name: 'username', label: 'User name', required: true, autocomplete: 'username' },
      { name: 'password', label: 'Password', type: 'password', autocomplete: 'current-password' },
    ], 'Log in', 'An amplifier host asks for its login.');
    if (values) {
      const record = await app.run({ method: 'login', ...values }, { label: `Log in to ${values.systemname}` });
      if (record.status === 'fail') setTimeout(check_logins, 200);
    }
  } finally {
    login_open = false;
  }
}
live.on('word:login_required', () => check_logins());

// --- activity panel ------------------------------------------------------------------

const activity = document.getElementById('activity');
const activity_toggle = document.getElementById('activity-toggle');
activity_toggle.addEventListener('click', () => {
  activity.hidden = !activity.hidden;
  activity_toggle.setAttribute('aria-expanded', String(!activity.hidden));
  if (!activity.hidden) activity.querySelector('button').focus();
});
document.getElementById('activity-clear').addEventListener('click', () => tracker.clear_finished());
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape' && !activity.hidden && !document.querySelector('dialog[open]')) {
    activity.hidden = true;
    activity_toggle.setAttribute('aria-expanded', 'false');
    activity_toggle.focus();
  }
});

// --- start ---------------------------------------------------------------------------

route();
live.connect();
cache.refresh().catch(() => {});
refresh_dirty();
