'use strict';

const { Readable } = require('node:stream');
const { E, isError, fail, CODES } = require('./errors');
const { METHODS, POLICIES, StreamedResult } = require('./methods');
const { readBody, drain, sleep, jsonReply, textReply, deliver } = require('./http-util');
const { hasOwn } = require('./store');

const BODY_LIMIT = 1 << 20;
const INT64_MIN = -(2n ** 63n);
const INT64_MAX = 2n ** 63n - 1n;
const ENVELOPE_KEYS = new Set(['jsonrpc', 'id', 'method', 'params']);

const isPlainObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const describe = (v) => (v === null ? 'null' : Array.isArray(v) ? 'an array' : `${typeof v} ${JSON.stringify(v)}`.slice(0, 80));

// Identifiers travel as decimal strings; a JSON number is the classic
// client mistake and is refused with a message that says so.
function decimal(value, key, nonNegative) {
  if (typeof value === 'number') return E.params(`param "${key}" must be a decimal string, got the number ${value}`);
  if (typeof value !== 'string' || !/^-?\d{1,20}$/.test(value)) return E.params(`param "${key}" must be a decimal string, got ${describe(value)}`);
  const n = BigInt(value);
  if (n < INT64_MIN || n > INT64_MAX) return E.params(`param "${key}" is outside the 64-bit range`);
  if (nonNegative && n < 0n) return E.params(`param "${key}" must not be negative`);
  return n.toString();
}

function watchItems(value) {
  if (!Array.isArray(value) || value.length === 0) return E.params('param "watchItems" must be a non-empty array');
  if (value.length > 10000) return E.params('param "watchItems" has more than 10000 entries');
  const out = [];
  for (const [i, item] of value.entries()) {
    const at = `watchItems[${i}]`;
    if (!isPlainObject(item)) return E.params(`${at} must be an object`);
    if (typeof item.state !== 'string') return E.params(`${at}.state must be a string`);
    if (typeof item.watcherAuthenticationToken !== 'string') return E.params(`${at}.watcherAuthenticationToken must be a string`);
    if (!isPlainObject(item.id)) return E.params(`${at}.id must be an object with "itemId" and "tenantId"`);
    const itemId = decimal(item.id.itemId, `${at}.id.itemId`, false);
    if (isError(itemId)) return itemId;
    if (typeof item.id.tenantId !== 'string') return E.params(`${at}.id.tenantId must be a string`);
    out.push({ state: item.state, wat: item.watcherAuthenticationToken, itemId, tenantId: item.id.tenantId });
  }
  return out;
}

const CHECKS = {
  S: (v, key) => (typeof v === 'string' ? v : E.params(`param "${key}" must be a string, got ${describe(v)}`)),
  D: (v, key) => decimal(v, key, false),
  N: (v, key) => decimal(v, key, true),
  P: (v, key) => (POLICIES.includes(v) ? v : E.params(`param "${key}" must be one of ${POLICIES.join(', ')}, got ${describe(v)}`)),
  W: (v) => watchItems(v),
};

function checkParams(desc, params) {
  const values = {};
  for (const [key, type] of Object.entries(desc)) {
    if (!hasOwn(params, key)) return E.params(`missing param "${key}"`);
    const value = CHECKS[type](params[key], key);
    if (isError(value)) return value;
    values[key] = value;
  }
  return values;
}

function* envelopeChunks(id, chunks) {
  yield Buffer.from(`{"jsonrpc":"2.0","id":${JSON.stringify(id)},"result":`);
  for (const chunk of chunks) yield Buffer.from(chunk);
  yield Buffer.from('}');
}

function rpcReply(id, outcome) {
  if (outcome instanceof StreamedResult) {
    return { status: 200, headers: { 'content-type': 'application/json' }, body: Readable.from(envelopeChunks(id, outcome.chunks)) };
  }
  if (isError(outcome)) {
    const body = { jsonrpc: '2.0', id, error: outcome.toJSON() };
    if (outcome.result) body.result = outcome.result;
    return jsonReply(200, body);
  }
  return jsonReply(200, { jsonrpc: '2.0', id, result: outcome });
}

function injectedError(fault) {
  const err = fail(fault.fullName, fault.message || (fault.fullName === 'brindlex.AntivirusAlert' ? 'AvVirusFound injected' : `injected ${fault.fullName}`));
  if (fault.code !== undefined) err.code = fault.code;
  else if (!hasOwn(CODES, fault.fullName)) err.code = -32603;
  return err;
}

// Replies that a fault replaces outright; null when the call should run.
async function preFault(ctx, fault, replyTo) {
  if (!fault) return null;
  if (fault.type === 'delay') {
    const alive = await sleep(fault.ms, ctx.res);
    return alive ? null : 'gone';
  }
  if (fault.type === 'rpcError') return replyTo(injectedError(fault));
  if (fault.type === 'httpStatus') {
    const headers = fault.status === 401 ? { 'www-authenticate': 'Bearer realm="bx"' } : {};
    if (fault.location !== undefined) headers.location = fault.location;
    return textReply(fault.status, fault.body !== undefined ? fault.body : `injected HTTP ${fault.status}\n`, headers);
  }
  if (fault.type === 'stall' && !fault.execute) return { ...jsonReply(200, {}), stall: true };
  return null;
}

function send(ctx, reply, fault, errorName) {
  const { entry, res } = ctx;
  entry.status = reply.status;
  entry.error = errorName || null;
  const shaping = reply.stall ? { type: 'stall' } : fault && ['stall', 'drop', 'truncate', 'drip', 'pad'].includes(fault.type) ? fault : null;
  const shaped = fault && fault.type === 'headers' ? { ...reply, headerOverrides: fault.set } : reply;
  deliver(res, shaped, shaping);
}

// POST /api/app/jsonrpc and /api/watcher/jsonrpc.
async function handleRpc(ctx, req, url, endpoint) {
  const { entry, violations } = ctx;
  if (req.method !== 'POST') {
    violations.add(entry, `${req.method} on a JSON-RPC endpoint`);
    await drain(req);
    return send(ctx, textReply(405, 'use POST\n', { allow: 'POST' }));
  }
  const read = await readBody(req, BODY_LIMIT);
  entry.requestBytes = read.size;
  if (read.error) return undefined;

  let rpcId = null;
  const answer = (outcome) => rpcReply(rpcId, outcome);
  const refuse = (err) => {
    violations.add(entry, err.message);
    return send(ctx, answer(err), null, err.fullName);
  };

  if (read.tooLarge) return refuse(E.request(`request body of ${read.size} bytes is over the ${BODY_LIMIT} byte limit`));
  if (!/^application\/json\s*(;|$)/i.test(req.headers['content-type'] || '')) {
    return refuse(E.request(`Content-Type must be application/json, got ${JSON.stringify(req.headers['content-type'] || '')}`));
  }
  if (!/application\/json|\*\/\*/i.test(req.headers.accept || '')) {
    return refuse(E.request(`Accept should be application/json, got ${JSON.stringify(req.headers.accept || '')}`));
  }

  let envelope;
  try {
    envelope = JSON.parse(read.body.toString('utf8'));
  } catch (err) {
    return refuse(E.parse(`request body is not JSON: ${err.message}`));
  }
  if (!isPlainObject(envelope)) return refuse(E.request('request must be one JSON object (batches are not served)'));
  const idOk = Number.isInteger(envelope.id) || typeof envelope.id === 'string';
  if (idOk) rpcId = envelope.id;
  entry.rpcId = idOk ? envelope.id : null;
  entry.rpcMethod = typeof envelope.method === 'string' ? envelope.method : url.searchParams.get('method');
  // Big params would pin megabytes per log entry; keep a note instead.
  entry.params = envelope.params === undefined ? null : read.size > 65536 ? { omitted: `${read.size} byte request` } : envelope.params;

  if (envelope.jsonrpc !== '2.0') return refuse(E.request(`"jsonrpc" must be "2.0", got ${describe(envelope.jsonrpc)}`));
  if (!idOk) return refuse(E.request(`"id" must be an integer or a string, got ${describe(envelope.id)}`));
  if (typeof envelope.method !== 'string' || !envelope.method) return refuse(E.request('"method" must be a non-empty string'));
  const urlMethod = url.searchParams.get('method');
  if (!urlMethod) return refuse(E.request('the URL has no "method" query parameter'));
  if (urlMethod !== envelope.method) return refuse(E.request(`method in the URL (${urlMethod}) differs from the envelope (${envelope.method})`));
  const extraMember = Object.keys(envelope).find((key) => !ENVELOPE_KEYS.has(key));
  if (extraMember !== undefined) return refuse(E.request(`unexpected envelope member ${JSON.stringify(extraMember)}`));

  const def = hasOwn(METHODS, envelope.method) ? METHODS[envelope.method] : null;
  if (!def || def.endpoint !== endpoint) return refuse(E.method(`method ${envelope.method} is not served on this endpoint`));
  if (envelope.params !== undefined && !isPlainObject(envelope.params)) return refuse(E.params('"params" must be an object'));
  const params = envelope.params || {};

  const urlTenant = url.searchParams.get('tenantId');
  if (def.tenantInUrl === 'none' && urlTenant !== null) return refuse(E.request('this method takes no tenantId in the URL'));
  if (def.tenantInUrl === 'required' && !urlTenant) return refuse(E.request('the URL has no "tenantId" query parameter'));
  if (urlTenant !== null && hasOwn(params, 'tenantId') && params.tenantId !== urlTenant) {
    return refuse(E.params(`tenantId in the URL (${urlTenant}) differs from params (${describe(params.tenantId)})`));
  }
  const extraQuery = [...url.searchParams.keys()].find((key) => key !== 'method' && key !== 'tenantId');
  if (extraQuery !== undefined) return refuse(E.request(`unexpected query parameter ${JSON.stringify(extraQuery)}`));

  const fault = ctx.faults.take(endpoint, envelope.method);
  entry.fault = fault ? fault.type : null;
  const early = await preFault(ctx, fault, answer);
  if (early === 'gone') return undefined;
  if (early) return send(ctx, early, fault, early.stall ? null : fault.type === 'rpcError' ? fault.fullName : null);

  const checked = checkParams(def.params, params);
  if (isError(checked)) return refuse(checked);
  const extraParam = Object.keys(params).find((key) => !hasOwn(def.params, key));
  if (extraParam !== undefined) return refuse(E.params(`unexpected param ${JSON.stringify(extraParam)}`));

  let outcome;
  try {
    outcome = await def.run(ctx, checked);
  } catch (err) {
    ctx.log(`error: ${envelope.method} failed: ${err.stack || err}`);
    outcome = E.internal(`internal error in ${envelope.method}`);
  }
  if (outcome === undefined) return undefined; // the peer left while the call was held
  return send(ctx, answer(outcome), fault, isError(outcome) ? outcome.fullName : null);
}

module.exports = { handleRpc, preFault, send };
