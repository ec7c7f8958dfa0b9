// The UI's copy of the frames and channels of the project. It is filled by whole reads of
// /frames and /channels and kept current by the change notifications of the WebSocket
// (one object subscription with id 0 per collection covers every model). Whole reads
// follow "sigupdate" and the project events, at most one at a time and spaced by at
// least a second (more when a read is slow), so a busy backend is not flooded.
//
// Listeners get one call per animation frame with what changed:
//   { frames: Set<id>, channels: Set<id>, structure: bool, settings: bool }
// `structure` is set when models were added or removed (lists must be rebuilt).

import { api } from './api.js';

export class project_cache {
  constructor() {
    this.frames = new Map();
    this.channels = new Map();
    this.settings = {};
    this.loaded = false;
    this.listeners = new Set();
    this.pending = null;
    this.refreshing = false;
    this.refresh_again = false;
    this.last_refresh_end = 0;
    this.last_refresh_ms = 0;
    this.refresh_timer = null;
    this.waiters = [];
  }

  on_change(listener) {
    this.listeners.add(listener);
    return () => this.listeners.delete(listener);
  }

  changed(part) {
    if (!this.pending) {
      this.pending = { frames: new Set(), channels: new Set(), structure: false, settings: false };
      requestAnimationFrame(() => this.flush());
    }
    if (part.frame !== undefined) this.pending.frames.add(part.frame);
    if (part.channel !== undefined) this.pending.channels.add(part.channel);
    if (part.structure) this.pending.structure = true;
    if (part.settings) this.pending.settings = true;
  }

  flush() {
    const change = this.pending;
    this.pending = null;
    if (!change) return;
    for (const listener of this.listeners) {
      try {
        listener(change);
      } catch (e) {
        console.error(e);
      }
    }
  }

  // Applies the events of one change notification.
  apply_events(events) {
    let unknown = false;
    for (const event of events) {
      const path = event.path || {};
      const obj = event.obj || {};
      const id = String(path.id ?? obj.id ?? '');
      if (path.type === 'frames' || path.type === 'channels') {
        const map = path.type === 'frames' ? this.frames : this.channels;
        const current = map.get(id);
        if (!current) {
          unknown = true;  // a model this copy has not seen yet: read the lists again
          continue;
        }
        Object.assign(current, obj);
        this.changed(path.type === 'frames' ? { frame: id } : { channel: id });
      } else if (path.type === 'settings') {
        Object.assign(this.settings, obj);
        this.changed({ settings: true });
      }
    }
    if (unknown) this.schedule_refresh(0);
  }

  // Reads the lists again after `delay` ms, and not sooner than `min_gap` ms (or four
  // times the last read's duration) after the last read ended.
  schedule_refresh(delay = 0, min_gap = 1000) {
    if (this.refreshing) {
      this.refresh_again = true;
      return;
    }
    if (this.refresh_timer) return;
    const gap = Math.max(min_gap, this.last_refresh_ms * 4);
    const since = performance.now() - this.last_refresh_end;
    const wait = Math.max(delay || 0, gap - since, 0);
    this.refresh_timer = setTimeout(() => {
      this.refresh_timer = null;
      this.refresh().catch(() => {});
    }, wait);
  }

  async refresh() {
    if (this.refreshing) {
      this.refresh_again = true;
      return this.next_refresh();
    }
    this.refreshing = true;
    const start = performance.now();
    try {
      // All three are asked for at once; the frames are shown as soon as they arrive.
      const reads = [api.frames(), api.channels(), api.settings()];
      reads.forEach((read) => read.catch(() => {}));
      this.replace(this.frames, await reads[0], 'frame');
      this.replace(this.channels, await reads[1], 'channel');
      const s = (await reads[2]).find((m) => m.id === '1') || {};
      if (JSON.stringify(s) !== JSON.stringify(this.settings)) {
        this.settings = s;
        this.changed({ settings: true });
      }
      this.loaded = true;
    } finally {
      this.refreshing = false;
      this.last_refresh_end = performance.now();
      this.last_refresh_ms = this.last_refresh_end - start;
      const waiters = this.waiters;
      this.waiters = [];
      waiters.forEach((w) => w());
      if (this.refresh_again) {
        this.refresh_again = false;
        this.schedule_refresh(0);
      }
    }
  }

  next_refresh() {
    return new Promise((resolve) => this.waiters.push(resolve));
  }

  replace(map, models, kind) {
    const seen = new Set();
    let structure = false;
    for (const model of models) {
      const id = String(model.id);
      seen.add(id);
      const current = map.get(id);
      if (!current) {
        map.set(id, model);
        structure = true;
        continue;
      }
      let differs = false;
      for (const key of Object.keys(model)) {
        if (current[key] !== model[key]) {
          differs = true;
          break;
        }
      }
      if (!differs && Object.keys(current).length !== Object.keys(model).length) differs = true;
      if (differs) {
        map.set(id, model);
        this.changed(kind === 'frame' ? { frame: id } : { channel: id });
      }
    }
    for (const id of [...map.keys()]) {
      if (!seen.has(id)) {
        map.delete(id);
        structure = true;
      }
    }
    if (structure) this.changed({ structure: true });
  }

  // The channels of a frame, in the order of its `channels` attribute.
  channels_of(frame) {
    if (!frame) return [];
    return String(frame.channels || '')
      .split(/[ \t]+/)
      .filter(Boolean)
      .map((id) => this.channels.get(id))
      .filter(Boolean);
  }

  is_discovered(frame) {
    return frame.__origin__ === 'discovery';
  }

  // The frame whose device_id or name equals `tag` (device_id first).
  find_frame(tag) {
    const wanted = String(tag);
    for (const frame of this.frames.values()) if (frame.device_id === wanted) return frame;
    for (const frame of this.frames.values()) if (frame.name === wanted) return frame;
    const lower = wanted.toLowerCase();
    for (const frame of this.frames.values()) if ((frame.name || '').toLowerCase() === lower) return frame;
    return null;
  }
}
