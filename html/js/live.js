// The WebSocket to the backend (see docs/websocket.md): event words ("sigupdate",
// "project_dirty", ...) and change notifications ("application/json{...}"). The backend
// never reads from it. When it drops, the connection is retried with a growing pause
// (0.5 s up to 5 s) until the backend answers again.

const notification_prefix = 'application/json';

export class live_connection {
  constructor() {
    this.listeners = new Map();
    this.state = 'connecting';
    this.retry_ms = 500;
    this.socket = null;
    this.shutting_down = false;
  }

  // on('word:sigupdate', fn), on('events', fn(events)), on('state', fn(state)), on('open', fn)
  on(name, listener) {
    if (!this.listeners.has(name)) this.listeners.set(name, new Set());
    this.listeners.get(name).add(listener);
    return () => this.listeners.get(name).delete(listener);
  }

  emit(name, value) {
    for (const listener of this.listeners.get(name) || []) {
      try {
        listener(value);
      } catch (e) {
        console.error(e);
      }
    }
  }

  set_state(state) {
    if (this.state === state) return;
    this.state = state;
    this.emit('state', state);
  }

  connect() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    let socket;
    try {
      socket = new WebSocket(`${scheme}//${location.host}/`);
    } catch (e) {
      this.schedule_retry();
      return;
    }
    this.socket = socket;
    socket.onopen = () => {
      this.retry_ms = 500;
      this.shutting_down = false;
      this.set_state('up');
      this.emit('open');
    };
    socket.onmessage = (message) => this.receive(String(message.data));
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.set_state(this.shutting_down ? 'shutdown' : 'down');
      this.schedule_retry();
    };
    socket.onerror = () => {};
  }

  schedule_retry() {
    const wait = this.retry_ms;
    this.retry_ms = Math.min(5000, Math.round(this.retry_ms * 1.6));
    setTimeout(() => {
      if (this.state !== 'up') this.connect();
    }, wait);
  }

  receive(text) {
    if (text.startsWith(notification_prefix)) {
      let document;
      try {
        document = JSON.parse(text.slice(notification_prefix.length));
      } catch (e) {
        return;
      }
      if (document && Array.isArray(document.events)) this.emit('events', document.events);
      return;
    }
    const word = text.trim();
    if (word === 'shutting_down') this.shutting_down = true;
    this.emit(`word:${word}`, word);
    this.emit('word', word);
  }
}
