// The backend's REST API (see docs/rest_api.md). Every answer is JSON or XML; error
// answers carry their reason as plain text, which becomes the message of `api_error`.

export class api_error extends Error {
  constructor(status, text) {
    super(text || `HTTP ${status}`);
    this.status = status;
  }
}

async function call(method, path, body) {
  const options = { method, headers: {}, cache: 'no-store' };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (e) {
    throw new api_error(0, 'The backend does not answer');
  }
  const text = await response.text();
  if (!response.ok) throw new api_error(response.status, text.trim());
  return text;
}

async function json(method, path, body) {
  const text = await call(method, path, body);
  return text ? JSON.parse(text) : null;
}

// Attribute values travel as strings; numbers given by the UI are sent as their text.
function strings(attributes) {
  const out = {};
  for (const [key, value] of Object.entries(attributes)) out[key] = value === null || value === undefined ? '' : String(value);
  return out;
}

export const api = {
  frames: () => json('GET', '/frames'),
  channels: () => json('GET', '/channels'),
  requests: () => json('GET', '/requests'),
  request: (id) => json('GET', `/requests/${id}`),
  settings: () => json('GET', '/settings'),
  sweeps: (channel_id) => json('GET', `/impedance_sweeps?channel_id=${encodeURIComponent(channel_id)}`),
  project_status: () => json('GET', '/api/project_status'),
  version: () => json('GET', '/api/version/'),
  login_servers: () => call('GET', '/api/login_devices'),
  network_settings: () => json('GET', '/api/mira_discovery_settings'),
  choose_interface: (address) => json('POST', '/api/mira_discovery_settings', { selected_ip: address }),
  put: (collection, id, attributes) => json('PUT', `/${collection}/${id}`, strings({ ...attributes, id })),
  create: (collection, attributes) => json('POST', `/${collection}`, strings(attributes)),
  remove: (collection, id) => json('DELETE', `/${collection}/${id}`),
  subscribe: (type, id = 0, attr) => json('POST', '/api/subscribe/', strings({ type, id, ...(attr ? { attr } : {}) })),
  // Stores a request without running it and subscribes its status, so that no change of
  // it can be missed; `start_job` then runs it under the same id.
  register_job: (request) => json('POST', '/api/job/register/', strings(request)),
  start_job: (request) => json('POST', '/api/job/start/', strings(request)),
  post_request: (request) => json('POST', '/requests', strings(request)),
  tesira_export: () => call('GET', '/api/export/tesira/'),
  saved_projects: () => json('GET', '/api/projects/'),
};

// Unsubscribes when the page goes away (a beacon survives the unload).
export function unsubscribe_on_exit(type, id = 0) {
  window.addEventListener('pagehide', () => {
    const body = new Blob([JSON.stringify({ type, id: String(id) })], { type: 'application/json' });
    navigator.sendBeacon('/api/unsubscribe/', body);
  });
}
