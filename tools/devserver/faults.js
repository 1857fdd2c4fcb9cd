'use strict';

const { E, CODES } = require('./errors');

const ENDPOINTS = ['any', 'jsonrpc', 'watcher', 'download', 'upload'];

const isInt = (v, min, max) => Number.isInteger(v) && v >= min && v <= max;

// Per fault type: the options it takes, checked up front so a bad rule is
// refused at the admin API instead of misbehaving later.
const TYPES = {
  rpcError: (r) => {
    if (typeof r.fullName !== 'string' || !r.fullName) return 'rpcError needs "fullName"';
    if (r.code !== undefined && !Number.isInteger(r.code)) return '"code" must be an integer';
    if (r.code === undefined && !Object.prototype.hasOwnProperty.call(CODES, r.fullName)) return `unknown error name ${r.fullName}: give "code" too`;
    if (r.message !== undefined && typeof r.message !== 'string') return '"message" must be a string';
    return null;
  },
  httpStatus: (r) => {
    if (!isInt(r.status, 200, 599)) return 'httpStatus needs "status" from 200 to 599';
    if (r.body !== undefined && typeof r.body !== 'string') return '"body" must be a string';
    if (r.location !== undefined && (typeof r.location !== 'string' || /[\r\n]/.test(r.location))) return '"location" must be a one-line string';
    return null;
  },
  delay: (r) => (isInt(r.ms, 0, 600000) ? null : 'delay needs "ms" from 0 to 600000'),
  stall: (r) => (r.execute === undefined || typeof r.execute === 'boolean' ? null : '"execute" must be a boolean'),
  drop: (r) => {
    if (r.afterBytes !== undefined && !isInt(r.afterBytes, 0, Number.MAX_SAFE_INTEGER)) return '"afterBytes" must be a whole number';
    if (r.headers !== undefined && typeof r.headers !== 'boolean') return '"headers" must be a boolean';
    return null;
  },
  headers: (r) => {
    if (r.set === null || typeof r.set !== 'object' || Array.isArray(r.set) || !Object.keys(r.set).length) return 'headers needs "set": {name: value or null}';
    for (const [name, value] of Object.entries(r.set)) {
      if (!/^[!#$%&'*+.^_`|~0-9A-Za-z-]+$/.test(name)) return `"${name}" is no header name`;
      if (value !== null && (typeof value !== 'string' || /[\r\n]/.test(value))) return `header "${name}" must be a one-line string or null`;
    }
    return null;
  },
  drip: (r) => {
    if (r.bytes !== undefined && !isInt(r.bytes, 1, 1 << 24)) return '"bytes" must be a whole number from 1';
    if (r.everyMs !== undefined && !isInt(r.everyMs, 1, 60000)) return '"everyMs" must be from 1 to 60000';
    return null;
  },
  pad: (r) => {
    if (!isInt(r.size, 0, 1 << 30)) return 'pad needs "size" from 0 to 1073741824 bytes';
    if (r.fill !== undefined && (typeof r.fill !== 'string' || !r.fill)) return '"fill" must be a non-empty string';
    if (r.chunked !== undefined && typeof r.chunked !== 'boolean') return '"chunked" must be a boolean';
    return null;
  },
  truncate: (r) => {
    if (r.bytes !== undefined && !isInt(r.bytes, 0, Number.MAX_SAFE_INTEGER)) return '"bytes" must be a whole number';
    if (r.consistentLength !== undefined && typeof r.consistentLength !== 'boolean') return '"consistentLength" must be a boolean';
    return null;
  },
};

const OPTION_KEYS = ['fullName', 'code', 'message', 'status', 'body', 'ms', 'execute', 'afterBytes', 'headers', 'bytes', 'consistentLength', 'set', 'everyMs', 'size', 'fill', 'location', 'chunked'];

class Faults {
  constructor() {
    this.rules = [];
    this.seq = 0;
  }

  add(desc) {
    if (!desc || typeof desc !== 'object') return E.params('fault must be a JSON object');
    const check = TYPES[desc.type];
    if (!check) return E.params(`fault "type" must be one of ${Object.keys(TYPES).join(', ')}`);
    const endpoint = desc.endpoint === undefined ? 'any' : desc.endpoint;
    if (!ENDPOINTS.includes(endpoint)) return E.params(`fault "endpoint" must be one of ${ENDPOINTS.join(', ')}`);
    if (desc.method !== undefined && (typeof desc.method !== 'string' || !desc.method)) return E.params('fault "method" must be a method name');
    const count = desc.count === undefined ? 1 : desc.count;
    if (!isInt(count, 1, 1000000)) return E.params('fault "count" must be a whole number from 1');
    const problem = check(desc);
    if (problem) return E.params(problem);
    this.seq += 1;
    const rule = { id: String(this.seq), type: desc.type, endpoint, method: desc.method || null, remaining: count };
    for (const key of OPTION_KEYS) if (desc[key] !== undefined) rule[key] = desc[key];
    this.rules.push(rule);
    return rule;
  }

  // The first rule that matches this call, used up by one.
  take(endpoint, rpcMethod) {
    const rule = this.rules.find((r) => (r.endpoint === 'any' || r.endpoint === endpoint) && (!r.method || r.method === rpcMethod));
    if (!rule) return null;
    rule.remaining -= 1;
    if (rule.remaining <= 0) this.rules.splice(this.rules.indexOf(rule), 1);
    return { ...rule };
  }

  list() {
    return this.rules.map((r) => ({ ...r }));
  }

  remove(id) {
    const at = this.rules.findIndex((r) => r.id === id);
    if (at === -1) return E.notFound(`no fault ${id}`);
    return this.rules.splice(at, 1)[0];
  }

  clear() {
    this.rules = [];
  }
}

module.exports = { Faults };
