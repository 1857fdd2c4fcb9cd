'use strict';

// What the peer sent and how it was answered, kept in memory so tests can
// assert on it; old entries fall off the front.
class RequestLog {
  constructor(limit = 20000) {
    this.limit = limit;
    this.entries = [];
    this.seq = 0;
  }

  begin(req, endpoint, url) {
    this.seq += 1;
    const entry = {
      seq: this.seq,
      time: new Date().toISOString(),
      endpoint,
      httpMethod: req.method,
      path: url.pathname,
      query: Object.fromEntries(url.searchParams),
      rpcMethod: null,
      rpcId: null,
      headers: { ...req.headers },
      // Tells tests whether the client reused a connection.
      remotePort: req.socket ? req.socket.remotePort : null,
      // Names as they came, in order, lower case: the object above cannot show order.
      headerOrder: req.rawHeaders.filter((_, i) => i % 2 === 0).map((name) => name.toLowerCase()),
      params: null,
      status: null,
      error: null,
      fault: null,
      requestBytes: 0,
      durationMs: null,
    };
    const started = Date.now();
    entry.finish = () => {
      if (entry.durationMs === null) entry.durationMs = Date.now() - started;
    };
    this.entries.push(entry);
    if (this.entries.length > this.limit) this.entries.splice(0, this.entries.length - this.limit);
    return entry;
  }

  list({ since = 0, endpoint, method } = {}) {
    return this.entries
      .filter((e) => e.seq > since && (!endpoint || e.endpoint === endpoint) && (!method || e.rpcMethod === method))
      .map(({ finish, ...rest }) => rest);
  }

  clear() {
    this.entries = [];
  }
}

// Requests that a correct client would never send. Each is answered with an
// error; the list lets tests prove the engine sent none.
class Violations {
  constructor(log, limit = 5000) {
    this.log = log;
    this.limit = limit;
    this.entries = [];
  }

  add(entry, reason) {
    const item = {
      time: new Date().toISOString(),
      seq: entry ? entry.seq : null,
      endpoint: entry ? entry.endpoint : null,
      path: entry ? entry.path : null,
      rpcMethod: entry ? entry.rpcMethod : null,
      reason,
    };
    this.entries.push(item);
    if (this.entries.length > this.limit) this.entries.shift();
    this.log(`violation: ${entry ? `${entry.httpMethod} ${entry.path}${entry.rpcMethod ? ` ${entry.rpcMethod}` : ''}: ` : ''}${reason}`);
  }

  list() {
    return this.entries.slice();
  }

  clear() {
    this.entries = [];
  }
}

module.exports = { RequestLog, Violations };
