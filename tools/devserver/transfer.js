'use strict';

const { E, isError } = require('./errors');
const { POLICIES, libraryFor, stateProblem, createProblem, updateProblem, itemOf } = require('./methods');
const { nameProblem } = require('./store');
const { drain, jsonReply, textReply } = require('./http-util');
const { preFault, send } = require('./rpc');

const ISO_TIME = /^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{1,9})?(Z|[+-]\d{2}:?\d{2})?$/;
const DECIMAL = /^\d{1,19}$/;

// ASCII names go as they are; anything the header cannot carry plainly
// becomes one RFC 2047 encoded word (never split: the reader joins words
// with whatever lies between them).
function contentDisposition(name) {
  const plain = /^[\x20-\x7e]*$/.test(name) && !/["\\;:]|=\?/.test(name);
  const value = plain ? name : `=?utf-8?B?${Buffer.from(name, 'utf8').toString('base64')}?=`;
  return `attachment; filename="${value}"`;
}

const uploadAnswer = (outcome) => (isError(outcome)
  ? jsonReply(200, { jsonrpc: '2.0', id: null, error: outcome.toJSON() })
  : jsonReply(200, { jsonrpc: '2.0', id: null, result: outcome }));

// GET /{tenantId}/file/{fileId}
async function handleDownload(ctx, req, tenantId, rawFileId) {
  const { entry, violations, store } = ctx;
  if (req.method !== 'GET') {
    violations.add(entry, `${req.method} on the download endpoint`);
    await drain(req);
    return send(ctx, textReply(405, 'use GET\n', { allow: 'GET' }));
  }
  const fault = ctx.faults.take('download', 'download');
  entry.fault = fault ? fault.type : null;
  const early = await preFault(ctx, fault, (err) => ({ ...jsonReply(500, { error: err.toJSON() }) }));
  if (early === 'gone') return undefined;
  if (early) return send(ctx, early, fault, fault.type === 'rpcError' ? fault.fullName : null);

  const missing = (why) => send(ctx, textReply(404, `${why}\n`), fault, 'brindlex.ItemNotFound');
  if (!DECIMAL.test(rawFileId)) {
    violations.add(entry, `file id ${JSON.stringify(rawFileId)} is not a decimal number`);
    return missing('no such file');
  }
  const fileId = BigInt(rawFileId).toString();
  if (!store.tenants.has(tenantId)) return missing(`tenant ${tenantId} not found`);
  const file = store.items.get(fileId);
  const lib = file && file.type === 'file' ? store.library(tenantId, file.libraryId) : null;
  if (!lib) return missing(`file ${fileId} not found`);
  if (store.roleOf(lib, ctx.user.login) === 'None') return send(ctx, textReply(403, 'no access\n'), fault, 'api.exceptions.AccessDenied');

  const reply = {
    status: 200,
    headers: {
      'content-type': 'application/octet-stream',
      'content-disposition': contentDisposition(file.name),
      'x-id': file.id,
      'x-filestate': file.state,
      'x-state': lib.state,
    },
    body: ctx.content.open(file.hash),
    length: file.size,
  };
  return send(ctx, reply, fault);
}

function decodeFilename(value) {
  if (typeof value !== 'string' || !/^[A-Za-z0-9+/]*={0,2}$/.test(value) || value.length % 4 !== 0 || !value) {
    return E.params('X-filename must be Base64 (standard alphabet, padded)');
  }
  try {
    const name = new TextDecoder('utf-8', { fatal: true }).decode(Buffer.from(value, 'base64'));
    const bad = nameProblem(name);
    return bad ? E.params(`X-filename: ${bad}`) : name;
  } catch {
    return E.params('X-filename does not decode to UTF-8 text');
  }
}

function parseTime(headers, key) {
  const value = headers[key];
  if (typeof value !== 'string' || !ISO_TIME.test(value)) return E.params(`${key} must be an ISO 8601 date-time, got ${JSON.stringify(value)}`);
  const zoned = /(Z|[+-]\d{2}:?\d{2})$/.test(value) ? value : `${value}Z`;
  const ms = Date.parse(zoned);
  return Number.isNaN(ms) ? E.params(`${key} is not a valid date-time: ${value}`) : ms;
}

// Every header of an upload, checked before a byte of the body is stored.
function parseUploadHeaders(h) {
  const need = (key, pattern, what) => (typeof h[key] === 'string' && pattern.test(h[key]) ? h[key] : E.params(`${key} must be ${what}, got ${JSON.stringify(h[key])}`));
  const out = {};
  const checks = [
    ['libraryId', () => need('x-id', DECIMAL, 'the library id in decimal')],
    ['state', () => (typeof h['x-state'] === 'string' ? h['x-state'] : E.params('X-state is missing'))],
    ['length', () => need('x-length', DECIMAL, 'the body length in decimal')],
    ['created', () => parseTime(h, 'x-createdtimefs')],
    ['modified', () => parseTime(h, 'x-modifiedtimefs')],
    ['method', () => need('x-method', /^(create|update)$/, '"create" or "update"')],
    ['policy', () => (POLICIES.includes(h['x-conflictpolicy']) ? h['x-conflictpolicy'] : E.params(`X-conflictPolicy must be one of ${POLICIES.join(', ')}`))],
  ];
  for (const [key, check] of checks) {
    const value = check();
    if (isError(value)) return value;
    out[key] = value;
  }
  out.libraryId = BigInt(out.libraryId).toString();
  out.length = Number(out.length);
  if (!Number.isSafeInteger(out.length)) return E.params('X-length is too large');
  if (out.method === 'create') {
    const parentId = need('x-parentid', DECIMAL, 'the parent folder id in decimal');
    if (isError(parentId)) return parentId;
    out.parentId = BigInt(parentId).toString();
    const name = decodeFilename(h['x-filename']);
    if (isError(name)) return name;
    out.filename = name;
  } else {
    const fileId = need('x-fileid', DECIMAL, 'the file id in decimal');
    if (isError(fileId)) return fileId;
    out.fileId = BigInt(fileId).toString();
    if (typeof h['x-filestate'] !== 'string') return E.params('X-fileState is missing');
    out.fileState = h['x-filestate'];
  }
  return out;
}

// Everything that must hold for the upload to land; run before the body is
// read and again once it is in, since the tree may have moved meanwhile.
function uploadProblem(ctx, tenantId, u) {
  const lib = libraryFor(ctx, tenantId, u.libraryId, 'write');
  if (isError(lib)) return { error: lib };
  const stale = stateProblem(ctx, lib, u.state);
  if (stale) return { error: stale };
  if (u.method === 'create') return { lib, error: createProblem(ctx, lib, u.parentId, u.filename, u.length, u.policy) };
  const file = itemOf(ctx, lib, u.fileId, 'file');
  if (isError(file)) return { error: file };
  return { lib, file, error: updateProblem(ctx, lib, file, u.fileState, u.length, u.policy) };
}

// POST /{tenantId}/fileupload
async function handleUpload(ctx, req, tenantId) {
  const { entry, violations, store } = ctx;
  let fault = null;
  const answer = (outcome) => send(ctx, uploadAnswer(outcome), fault, isError(outcome) ? outcome.fullName : null);
  const refuse = async (err, violation) => {
    if (violation) violations.add(entry, err.message);
    entry.requestBytes = await drain(req);
    return answer(err);
  };
  if (req.method !== 'POST') {
    violations.add(entry, `${req.method} on the upload endpoint`);
    await drain(req);
    return send(ctx, textReply(405, 'use POST\n', { allow: 'POST' }));
  }
  fault = ctx.faults.take('upload', 'upload');
  entry.fault = fault ? fault.type : null;
  // Faults that answer instead of storing still take the body off the wire first.
  if (fault && (fault.type === 'rpcError' || fault.type === 'httpStatus' || (fault.type === 'stall' && !fault.execute))) {
    entry.requestBytes = await drain(req);
  }
  const early = await preFault(ctx, fault, uploadAnswer);
  if (early === 'gone') return undefined;
  if (early) return send(ctx, early, fault, fault.type === 'rpcError' ? fault.fullName : null);

  const u = parseUploadHeaders(req.headers);
  if (isError(u)) return refuse(u, true);
  if (req.headers['content-type'] !== 'application/octet-stream') {
    return refuse(E.request(`upload Content-Type should be application/octet-stream, got ${JSON.stringify(req.headers['content-type'] || '')}`), true);
  }
  entry.params = { ...u };
  if (!store.tenants.has(tenantId)) return refuse(E.tenant(tenantId));
  const before = uploadProblem(ctx, tenantId, u);
  if (before.error) return refuse(before.error);

  const marker = store.settings.avMarker;
  const got = await ctx.content.ingest(req, { limit: u.length, marker });
  if (got.error) return undefined; // the peer went away mid-body
  entry.requestBytes = got.size;
  if (got.size !== u.length) {
    await ctx.content.discard(got.temp);
    violations.add(entry, `X-length is ${u.length} but the body had ${got.size} bytes`);
    return answer(E.params(`X-length is ${u.length} but the body had ${got.size} bytes`));
  }
  if (got.virusFound) {
    await ctx.content.discard(got.temp);
    return answer(E.virus(`AvVirusFound: content matches the test signature ${JSON.stringify(marker)}`));
  }
  await ctx.content.commit(got.temp, got.hash);

  const now = uploadProblem(ctx, tenantId, u);
  if (now.error) return answer(now.error);
  const { lib } = now;
  const times = { hash: got.hash, size: got.size, created: u.created, modified: u.modified };
  let file;
  let conflicted = false;
  let changeDropped = false;
  if (u.method === 'create') {
    const name = u.policy === 'ERROR_ON_CONFLICT' ? u.filename : store.freeName(u.parentId, u.filename);
    conflicted = name !== u.filename && u.policy === 'RENAME_ON_CONFLICT';
    file = store.addFile(lib, u.parentId, name, times);
  } else if (now.file.state !== u.fileState) {
    // Someone else changed the file first: keep theirs, store ours beside it.
    conflicted = u.policy === 'RENAME_ON_CONFLICT';
    file = store.addFile(lib, now.file.parentId, store.freeName(now.file.parentId, now.file.name), times);
  } else if (now.file.hash === got.hash && now.file.size === got.size) {
    changeDropped = true;
    file = now.file;
  } else {
    file = store.setFileContent(lib, now.file, times);
  }
  if (isError(file)) return answer(file);
  return answer({
    state: lib.state, fileState: file.state, fileId: file.id, filename: file.name, changeDropped, avCheck: Boolean(marker), conflicted,
  });
}

module.exports = { handleDownload, handleUpload, contentDisposition };
