// Requests the user starts, with their progress and outcome (the Activity panel).
//
// A request is first registered (/api/job/register/ stores it and subscribes its
// status, so no change of it can be missed) and then started under the same id
// (/api/job/start/). Its changes arrive as change notifications; while the WebSocket is
// down the record is polled instead. Synchronisations show how many of their per-frame
// requests have finished; long requests without steps show the time against what they
// usually take.

import { api } from './api.js';
import { h, set_text, set_attr, clear } from './dom.js';

const final_states = new Set(['done', 'fail']);

const state_texts = {
  wait: 'Waiting',
  start: 'Starting',
  rollback: 'Rolling back',
  cancel: 'Cancelling',
  done: 'Done',
  fail: 'Failed',
};

const export_reasons = {
  1: 'No file name is known for this project: use Save as.',
  2: 'A project file of that name exists already.',
  3: 'The project file could not be written.',
};

// The reason a finished request failed, in words.
export function failure_reason(record) {
  if (record.error) return record.error;
  if (record.method === 'export_config' && export_reasons[record.export_result]) return export_reasons[record.export_result];
  if (record.method === 'login') {
    if (record.login_result === '3') return 'The server refused the user name or password.';
    if (record.login_result === '2') return 'A user name is needed.';
  }
  if (record.method === 'sync') return 'At least one amplifier could not be reached.';
  if (record.method === 'import_config') return 'The file is not a project file of this system.';
  if (record.method === 'import_tesira') return 'The file is not a Tesira configuration file with amplifier blocks.';
  if (record.method === 'assoc_select') return 'No select key was pressed in time.';
  if (record.method === 'assoc') return 'The amplifiers differ in type or model.';
  return 'The amplifier did not accept the request or did not answer.';
}

// Whether `record` (found under the request's id) is still our request: ids are reused
// once the request list has emptied. A refresh that found new amplifiers goes on as a
// download (`sync` with `direction` "get").
function same_request(request, record) {
  if (!record.method || record.method === request.body.method) return true;
  return request.body.method === 'refresh' && record.method === 'sync' && record.direction === 'get';
}

class tracked_request {
  constructor(body, options) {
    this.body = body;
    this.label = options.label || body.method;
    this.expected_ms = options.expected_ms || 0;
    this.started = performance.now();
    this.record = { ...body, status: 'wait' };
    this.id = null;
    this.steps = null;  // {done, total} of a synchronisation
    this.element = null;
    this.finished = false;
    this.promise = new Promise((resolve) => {
      this.resolve = resolve;
    });
  }

  get status() {
    return this.record.status;
  }

  get failed() {
    return this.record.status === 'fail';
  }
}

export class request_tracker {
  constructor(live, list_element, count_element, toasts) {
    this.live = live;
    this.list = list_element;
    this.count = count_element;
    this.toasts = toasts;
    this.by_id = new Map();
    this.all = [];
    this.timer = setInterval(() => this.tick(), 700);
    live.on('events', (events) => this.on_events(events));
    live.on('word:sigwaitdone', () => this.imports_ended());
  }

  // Runs a request; resolves with its final record (status "done" or "fail"). A request
  // that cannot even be posted resolves as failed with the backend's reason.
  run(body, options = {}) {
    const request = new tracked_request(body, options);
    this.all.unshift(request);
    this.render(request);
    this.post(request);
    return request.promise;
  }

  async post(request) {
    try {
      // The registration only reserves the id; an uploaded file's text (`data`) goes up
      // once, with the start.
      const { data, ...head } = request.body;
      const registered = await api.register_job(head);
      request.id = String(registered.id);
      this.by_id.set(request.id, request);
      const started = await api.start_job({ ...request.body, id: request.id });
      request.posted = true;
      this.update(request, started);
    } catch (e) {
      this.update(request, { ...request.record, status: 'fail', error: e.message });
    }
  }

  on_events(events) {
    for (const event of events) {
      if (!event.path || event.path.type !== 'requests') continue;
      const request = this.by_id.get(String(event.path.id));
      if (!request || request.finished) continue;
      if (!same_request(request, event.obj)) continue;
      this.update(request, event.obj);
    }
  }

  update(request, record) {
    if (request.finished) return;
    request.record = { ...request.record, ...record };
    if (final_states.has(request.record.status)) this.finish(request);
    this.render(request);
  }

  finish(request) {
    request.finished = true;
    this.by_id.delete(request.id);
    const failed = request.failed;
    this.toast(`${request.label}: ${failed ? 'failed — ' + failure_reason(request.record) : 'done'}`, failed);
    request.resolve(request.record);
    if (this.on_finish) this.on_finish(request.record);
  }

  // An import has ended: its final record comes as a notification; when that was lost,
  // the record (removed once "done", kept when "fail") tells.
  async imports_ended() {
    await new Promise((resolve) => setTimeout(resolve, 500));
    const imports = this.all.filter((r) => !r.finished && r.posted && r.body.method === 'import_config');
    if (!imports.length) return;
    let records;
    try {
      records = await api.requests();
    } catch (e) {
      return;
    }
    for (const request of imports) {
      const record = records.find((r) => String(r.id) === request.id && r.method === 'import_config');
      this.update(request, record || { status: 'done' });
    }
  }

  // Polls what notifications cannot tell: records while the WebSocket is down, and the
  // per-frame steps of running synchronisations.
  async tick() {
    const running = this.all.filter((r) => !r.finished && r.id);
    this.all.filter((r) => !r.finished).forEach((r) => this.render(r));
    if (!running.length) return;
    // Synchronisation steps and the `progress` of long requests change without their
    // status changing, so no notification carries them: those are read from the list.
    // A request that has run for a while is looked up too, in case its last
    // notification was lost with a dropped connection.
    const now = performance.now();
    const needs_list = running.some((r) => r.record.transaction_id || r.expected_ms || now - r.started > 2500) ||
      this.live.state !== 'up';
    if (!needs_list) return;
    let records;
    try {
      records = await api.requests();
    } catch (e) {
      return;
    }
    const by_id = new Map(records.map((r) => [String(r.id), r]));
    for (const request of running) {
      const record = by_id.get(request.id);
      if (record && same_request(request, record)) {
        this.update(request, record);
      } else if (!record && request.posted && request.body.method !== 'import_config') {
        // A request without transaction leaves the list when it is done (a failed one
        // stays). An import empties the list while it runs: it ends with "sigwaitdone".
        this.update(request, { status: 'done' });
      }
      const transaction = request.record.transaction_id;
      if (transaction && !request.finished) {
        const steps = records.filter((r) => r.transaction_id === transaction && r.method !== 'sync');
        request.steps = { done: steps.filter((r) => final_states.has(r.status)).length, total: steps.length };
        this.render(request);
      }
    }
  }

  running_count() {
    return this.all.filter((r) => !r.finished).length;
  }

  clear_finished() {
    this.all = this.all.filter((r) => {
      if (r.finished && r.element) r.element.remove();
      return !r.finished;
    });
    this.render_count();
  }

  render_count() {
    set_text(this.count, this.running_count());
  }

  render(request) {
    if (!request.element) {
      request.element = h('li', { class: 'request' },
        h('div', { class: 'row' }, h('strong', { class: 'label' }), h('span', { class: 'state' })),
        h('progress', { max: '100', 'aria-label': `Progress of ${request.label}` }),
        h('div', { class: 'detail hint' }));
      this.list.prepend(request.element);
    }
    const element = request.element;
    const status = request.record.status;
    set_text(element.querySelector('.label'), request.label);
    set_text(element.querySelector('.state'), state_texts[status] || status);
    element.className = `request ${status}`;
    const progress = element.querySelector('progress');
    const detail = element.querySelector('.detail');
    if (request.finished) {
      progress.value = 100;
      set_attr(progress, 'hidden', true);
      const seconds = ((performance.now() - request.started) / 1000).toFixed(1);
      set_text(detail, request.failed ? failure_reason(request.record) : `Finished in ${seconds} s`);
    } else if (request.record.progress) {
      // The step under way, as the handler reports it.
      set_attr(progress, 'hidden', false);
      if (request.expected_ms) progress.value = Math.min(95, Math.round((100 * (performance.now() - request.started)) / request.expected_ms));
      else progress.removeAttribute('value');
      set_text(detail, request.record.progress);
    } else if (request.steps && request.steps.total) {
      set_attr(progress, 'hidden', false);
      progress.value = Math.round((100 * request.steps.done) / request.steps.total);
      set_text(detail, `${request.steps.done} of ${request.steps.total} amplifiers`);
    } else if (request.expected_ms) {
      const elapsed = performance.now() - request.started;
      set_attr(progress, 'hidden', false);
      progress.value = Math.min(95, Math.round((100 * elapsed) / request.expected_ms));
      set_text(detail, `${Math.round(elapsed / 1000)} s of up to ${Math.round(request.expected_ms / 1000)} s`);
    } else {
      set_attr(progress, 'hidden', false);
      progress.removeAttribute('value');  // indeterminate
      set_text(detail, '');
    }
    this.render_count();
  }

  toast(text, failed) {
    const toast = h('div', { class: `toast${failed ? ' fail' : ''}` }, text);
    this.toasts.append(toast);
    setTimeout(() => toast.remove(), failed ? 8000 : 4000);
  }
}

// A small inline status line for a request started from a screen: shows progress while
// it runs and the outcome (with the reason of a failure) when it ends.
export function request_status_line() {
  const element = h('span', { class: 'hint', role: 'status' });
  return {
    element,
    async follow(promise, running_text) {
      set_text(element, running_text || 'Working…');
      const record = await promise;
      set_text(element, record.status === 'fail' ? `Failed: ${failure_reason(record)}` : 'Done.');
      return record;
    },
    clear() {
      clear(element);
    },
  };
}
