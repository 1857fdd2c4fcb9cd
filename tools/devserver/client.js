'use strict';

// Test-side helpers: start a server in a temporary data directory, drive its
// admin API, and talk to it as the engine would.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const https = require('node:https');
const { spawn } = require('node:child_process');
const { Readable } = require('node:stream');

const CLI = path.join(__dirname, 'cli.js');

// One HTTPS exchange; resolves {status, headers, body: Buffer} or rejects on
// a transport failure (reset, premature close, time-out).
function request({ url, method = 'GET', headers = {}, body, ca, agent, timeoutMs = 30000 }) {
  return new Promise((resolve, reject) => {
    const req = https.request(url, { method, headers, ca, agent }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
      res.on('aborted', () => reject(Object.assign(new Error('response aborted'), { code: 'ECONNRESET' })));
      res.on('error', reject);
    });
    req.setTimeout(timeoutMs, () => req.destroy(Object.assign(new Error(`no answer within ${timeoutMs} ms`), { code: 'ETIMEDOUT' })));
    req.on('error', reject);
    if (body instanceof Readable) body.pipe(req);
    else req.end(body);
  });
}

const parseJson = (buf) => {
  try {
    return JSON.parse(buf.toString('utf8'));
  } catch {
    return null;
  }
};

class AdminError extends Error {
  constructor(status, body) {
    super(`admin API ${status}: ${body && body.error ? `${body.error.fullName || ''} ${body.error.message}` : ''}`.trim());
    this.status = status;
    this.fullName = body && body.error ? body.error.fullName : undefined;
    this.body = body;
  }
}

const seg = encodeURIComponent;

class AdminClient {
  constructor({ adminUrl, adminToken, ca }) {
    this.base = adminUrl;
    this.token = adminToken;
    this.ca = ca;
    this.agent = new https.Agent({ keepAlive: true, ca });
  }

  async call(method, route, body, { raw = false } = {}) {
    const headers = { authorization: `Bearer ${this.token}` };
    let payload;
    if (raw) {
      headers['content-type'] = 'application/octet-stream';
      payload = body;
    } else if (body !== undefined) {
      headers['content-type'] = 'application/json';
      payload = JSON.stringify(body);
    }
    const res = await request({ url: `${this.base}${route}`, method, headers, body: payload, ca: this.ca, agent: this.agent });
    if (res.headers['content-type'] === 'application/octet-stream') return res.body;
    const json = parseJson(res.body);
    if (res.status >= 300) throw new AdminError(res.status, json);
    return json;
  }

  lib(tenantId, libraryId) {
    return `/tenants/${seg(tenantId)}/libraries/${seg(libraryId)}`;
  }

  info() { return this.call('GET', '/info'); }
  settings() { return this.call('GET', '/settings'); }
  setSettings(patch) { return this.call('PATCH', '/settings', patch); }

  addUser(user) { return this.call('POST', '/users', user); }
  issueToken(desc = {}) { return this.call('POST', '/tokens', desc); }
  tokens() { return this.call('GET', '/tokens'); }
  expireToken(token) { return this.call('POST', `/tokens/${seg(token)}/expire`); }
  revokeToken(token) { return this.call('DELETE', `/tokens/${seg(token)}`); }

  createTenant(desc) { return this.call('POST', '/tenants', desc); }
  tenants() { return this.call('GET', '/tenants'); }
  tenant(tenantId) { return this.call('GET', `/tenants/${seg(tenantId)}`); }
  updateTenant(tenantId, patch) { return this.call('PATCH', `/tenants/${seg(tenantId)}`, patch); }
  setQuota(tenantId, bytes) { return this.updateTenant(tenantId, { quota: bytes }); }
  createTeam(tenantId, desc) { return this.call('POST', `/tenants/${seg(tenantId)}/teams`, desc); }
  createLibrary(tenantId, desc) { return this.call('POST', `/tenants/${seg(tenantId)}/libraries`, desc); }
  library(tenantId, libraryId) { return this.call('GET', this.lib(tenantId, libraryId)); }
  updateLibrary(tenantId, libraryId, patch) { return this.call('PATCH', this.lib(tenantId, libraryId), patch); }
  deleteLibrary(tenantId, libraryId) { return this.call('DELETE', this.lib(tenantId, libraryId)); }
  // user "*" sets the role of everyone without a role of their own.
  setRole(tenantId, libraryId, role, user = '*') { return this.call('PUT', `${this.lib(tenantId, libraryId)}/roles/${seg(user)}`, { role }); }
  revokeWats(tenantId, libraryId) { return this.call('POST', `${this.lib(tenantId, libraryId)}/revoke-wats`); }

  async tree(tenantId, libraryId) {
    return (await this.call('GET', `${this.lib(tenantId, libraryId)}/tree`)).items;
  }

  // {path: {type, size, contentHash}}: the shape scenario tests compare.
  async treeMap(tenantId, libraryId) {
    const out = {};
    for (const item of await this.tree(tenantId, libraryId)) {
      out[item.path] = item.type === 'file' ? { type: 'file', size: item.size, contentHash: item.contentHash } : { type: 'folder' };
    }
    return out;
  }

  async findByPath(tenantId, libraryId, itemPath) {
    return (await this.tree(tenantId, libraryId)).find((i) => i.path === itemPath) || null;
  }

  mkdir(tenantId, libraryId, desc) {
    return this.call('POST', `${this.lib(tenantId, libraryId)}/folders`, typeof desc === 'string' ? { path: desc } : desc);
  }

  // content: string, Buffer, Readable, or {size, seed} / {size, fill} for generated bytes.
  putFile(tenantId, libraryId, desc, content = '') {
    const where = typeof desc === 'string' ? { path: desc } : desc;
    const route = `${this.lib(tenantId, libraryId)}/files`;
    if (Buffer.isBuffer(content) || content instanceof Readable) {
      const query = new URLSearchParams(Object.entries(where).map(([k, v]) => [k, String(v)]));
      return this.call('POST', `${route}?${query}`, content, { raw: true });
    }
    return this.call('POST', route, { ...where, ...(typeof content === 'string' ? { content } : content) });
  }

  updateFile(tenantId, libraryId, fileId, content = '', extra = {}) {
    const route = `${this.lib(tenantId, libraryId)}/files/${seg(fileId)}/content`;
    if (Buffer.isBuffer(content) || content instanceof Readable) return this.call('PUT', route, content, { raw: true });
    return this.call('PUT', route, { ...extra, ...(typeof content === 'string' ? { content } : content) });
  }

  readFile(tenantId, libraryId, fileId) { return this.call('GET', `${this.lib(tenantId, libraryId)}/files/${seg(fileId)}/content`); }
  rename(tenantId, libraryId, itemId, name) { return this.call('PATCH', `${this.lib(tenantId, libraryId)}/items/${seg(itemId)}`, { name }); }
  move(tenantId, libraryId, itemId, parentId) { return this.call('PATCH', `${this.lib(tenantId, libraryId)}/items/${seg(itemId)}`, { parentId }); }
  remove(tenantId, libraryId, itemId) { return this.call('DELETE', `${this.lib(tenantId, libraryId)}/items/${seg(itemId)}`); }

  // A tenant, a team and one library holding `files` ({path: content}) and `folders`.
  async setupLibrary({ tenant = {}, team = 'Team', library = 'Library', files = {}, folders = [] } = {}) {
    const t = await this.createTenant({ name: 'Tenant', ...tenant });
    const tm = await this.createTeam(t.id, { name: team });
    const lib = await this.createLibrary(t.id, { teamId: tm.id, name: library });
    for (const folder of folders) await this.mkdir(t.id, lib.id, folder);
    for (const [filePath, content] of Object.entries(files)) await this.putFile(t.id, lib.id, filePath, content);
    return { tenant: t, team: tm, library: await this.library(t.id, lib.id) };
  }

  // The user-session JSON object the host hands the engine, for `token`'s user.
  async sessionFor(token, serverHostname) {
    const record = (await this.tokens()).find((t) => t.token === token);
    if (!record) throw new Error('unknown token');
    const user = (await this.call('GET', '/users')).find((u) => u.login === record.user);
    return { userLoginName: user.login, userFullName: user.fullName, userGuid: user.guid, serverHostname, accessToken: token };
  }

  // The file-library JSON array for some or all libraries of a tenant.
  async fileLibraries(tenantId, libraryIds) {
    const t = await this.tenant(tenantId);
    return t.libraries
      .filter((l) => !libraryIds || libraryIds.includes(l.id))
      .map((l) => ({ teamId: l.teamId, tenantId: t.id, tenantName: t.name, id: l.id, name: l.name }));
  }

  addFault(desc) { return this.call('POST', '/faults', desc); }
  faults() { return this.call('GET', '/faults'); }
  clearFaults() { return this.call('DELETE', '/faults'); }
  removeFault(id) { return this.call('DELETE', `/faults/${seg(id)}`); }

  log(filter = {}) {
    const query = new URLSearchParams(Object.entries(filter).filter(([, v]) => v !== undefined).map(([k, v]) => [k, String(v)]));
    return this.call('GET', `/log${query.size ? `?${query}` : ''}`);
  }

  async countRequests(filter = {}) { return (await this.log(filter)).length; }
  clearLog() { return this.call('DELETE', '/log'); }
  violations() { return this.call('GET', '/violations'); }
  clearViolations() { return this.call('DELETE', '/violations'); }

  close() { this.agent.destroy(); }
}

// Talks to the application, watcher, download and upload endpoints with the
// headers the engine sends.
class AppClient {
  constructor({ url, hostname, token, ca }) {
    this.url = url;
    this.hostname = hostname;
    this.token = token;
    this.ca = ca;
    this.agent = new https.Agent({ keepAlive: true, ca });
    this.nextId = 1;
  }

  headers(extra = {}, token = this.token) {
    const h = { host: this.hostname, 'user-agent': 'BxSync/1.20201008.42694;Brindlex;devserver client', ...extra };
    if (token) h.authorization = `Bearer ${token}`;
    return h;
  }

  // Resolves {status, json, body, headers}. `opts` can bend the request:
  // tenantId (URL), urlMethod, query (more URL parameters), token, id, envelope (raw object) or body (raw text).
  async rpc(method, params, opts = {}) {
    const endpoint = method === 'Watcher.watch' ? '/api/watcher/jsonrpc' : '/api/app/jsonrpc';
    const query = new URLSearchParams({ method: opts.urlMethod === undefined ? method : opts.urlMethod, ...(opts.query || {}) });
    const tenantId = opts.tenantId !== undefined ? opts.tenantId : params && typeof params.tenantId === 'string' ? params.tenantId : undefined;
    if (tenantId !== null && tenantId !== undefined) query.set('tenantId', tenantId);
    const envelope = opts.envelope || { method, id: opts.id === undefined ? this.nextId++ : opts.id, jsonrpc: '2.0', ...(params ? { params } : {}) };
    const body = opts.body !== undefined ? opts.body : JSON.stringify(envelope);
    const token = opts.token !== undefined ? opts.token : method === 'Watcher.watch' ? null : this.token;
    const res = await request({
      url: `${this.url}${endpoint}?${query}`,
      method: 'POST',
      headers: this.headers({ 'content-type': 'application/json', accept: 'application/json', ...(opts.headers || {}) }, token),
      body,
      ca: this.ca,
      agent: opts.agent === undefined ? this.agent : opts.agent,
      timeoutMs: opts.timeoutMs,
    });
    return { ...res, json: parseJson(res.body) };
  }

  // The result object, or throws with the JSON-RPC error's fullName.
  async call(method, params, opts) {
    const res = await this.rpc(method, params, opts);
    if (res.json && res.json.error) throw Object.assign(new Error(`${res.json.error.fullName}: ${res.json.error.message}`), res.json.error);
    if (!res.json) throw new Error(`HTTP ${res.status}: ${res.body.toString('utf8').slice(0, 200)}`);
    return res.json.result;
  }

  watch(items, opts = {}) {
    return this.rpc('Watcher.watch', {
      watchItems: items.map((i) => ({ state: i.state, watcherAuthenticationToken: i.wat, id: { itemId: i.itemId, tenantId: i.tenantId } })),
    }, opts);
  }

  download(tenantId, fileId, opts = {}) {
    return request({
      url: `${this.url}/${seg(tenantId)}/file/${seg(fileId)}`,
      headers: this.headers({}, opts.token !== undefined ? opts.token : this.token),
      ca: this.ca,
      agent: opts.agent === undefined ? this.agent : opts.agent,
      timeoutMs: opts.timeoutMs,
    });
  }

  // Upload headers as the engine sets them; `headers` overrides or (with
  // undefined values) removes any of them.
  async upload(u) {
    const body = u.body === undefined ? Buffer.alloc(0) : typeof u.body === 'string' ? Buffer.from(u.body) : u.body;
    const now = new Date().toISOString().replace(/\.\d{3}Z$/, 'Z');
    const h = {
      'x-id': u.libraryId,
      'x-state': u.state,
      'x-length': String(u.length !== undefined ? u.length : body.length),
      'x-createdtimefs': u.createdTime || now,
      'x-modifiedtimefs': u.modifiedTime || now,
      'x-method': u.fileId ? 'update' : 'create',
    };
    if (u.fileId) Object.assign(h, { 'x-filestate': u.fileState, 'x-fileid': u.fileId });
    else Object.assign(h, { 'x-parentid': u.parentId, 'x-filename': Buffer.from(u.filename, 'utf8').toString('base64') });
    Object.assign(h, { 'x-conflictpolicy': u.conflictPolicy || 'RENAME_ON_CONFLICT', 'content-type': 'application/octet-stream' });
    for (const [k, v] of Object.entries(u.headers || {})) {
      if (v === undefined) delete h[k.toLowerCase()];
      else h[k.toLowerCase()] = v;
    }
    if (Buffer.isBuffer(body) && h['content-length'] === undefined) h['content-length'] = String(body.length);
    const res = await request({
      url: `${this.url}/${seg(u.tenantId)}/fileupload`,
      method: 'POST',
      headers: this.headers(h, u.token !== undefined ? u.token : this.token),
      body,
      ca: this.ca,
      agent: this.agent,
      timeoutMs: u.timeoutMs,
    });
    return { ...res, json: parseJson(res.body) };
  }

  close() { this.agent.destroy(); }
}

function spawnServer(args, verbose) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [CLI, ...args], { stdio: ['ignore', 'pipe', verbose ? 'inherit' : 'pipe'] });
    let out = '';
    let err = '';
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error(`devserver did not start within 20 s: ${err}`)); }, 20000);
    child.stdout.on('data', (c) => {
      out += c;
      const nl = out.indexOf('\n');
      if (nl !== -1) {
        clearTimeout(timer);
        child.stdout.removeAllListeners('data');
        child.stdout.resume();
        resolve({ child, info: JSON.parse(out.slice(0, nl)) });
      }
    });
    if (child.stderr) child.stderr.on('data', (c) => { err += c; });
    child.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`devserver exited with ${code} before it was ready: ${err.trim()}`));
    });
  });
}

function exited(child, ms) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) return resolve(true);
    const timer = setTimeout(() => resolve(false), ms);
    child.once('exit', () => { clearTimeout(timer); resolve(true); });
  });
}

// Starts a server (a child process unless inProcess) and resolves
// {url, hostname, port, caFile, adminUrl, token, adminToken, dataDir, ca,
//  admin, app, stop(), restart()}. Options: seed, holdMs, dataDir, port,
//  keepData, verbose, inProcess.
async function startServer(options = {}) {
  const ownDir = !options.dataDir;
  const dataDir = options.dataDir || fs.mkdtempSync(path.join(os.tmpdir(), 'bx-devserver-'));
  let info;
  let stopServer;
  if (options.inProcess) {
    const { startDevServer } = require('./server');
    const server = await startDevServer({ dataDir, seed: options.seed, holdMs: options.holdMs, port: options.port, quiet: !options.verbose });
    if (server.error) throw new Error(server.error);
    info = server.info;
    stopServer = () => server.stop();
  } else {
    const args = ['--data', dataDir];
    if (options.seed) args.push('--seed', options.seed);
    if (options.holdMs !== undefined) args.push('--hold-ms', String(options.holdMs));
    if (options.port !== undefined) args.push('--port', String(options.port));
    if (!options.verbose) args.push('--quiet');
    const started = await spawnServer(args, options.verbose);
    info = started.info;
    stopServer = async () => {
      started.child.kill('SIGTERM');
      if (!(await exited(started.child, 5000))) {
        started.child.kill('SIGKILL');
        await exited(started.child, 2000);
      }
    };
  }
  const ca = fs.readFileSync(info.caFile);
  const admin = new AdminClient({ adminUrl: info.adminUrl, adminToken: info.adminToken, ca });
  const app = new AppClient({ url: info.url, hostname: info.hostname, token: info.token, ca });
  let stopped = false;
  const handle = {
    ...info,
    dataDir,
    ca,
    admin,
    app,
    sessionFile: path.join(dataDir, 'session.json'),
    fileLibrariesFile: path.join(dataDir, 'file-libraries.json'),
    session: (token = info.token) => admin.sessionFor(token, info.hostname),
    async stop({ keepData = options.keepData || !ownDir } = {}) {
      if (stopped) return;
      stopped = true;
      admin.close();
      app.close();
      await stopServer();
      if (!keepData) fs.rmSync(dataDir, { recursive: true, force: true });
    },
    // Stops and starts again on the same data directory (and, when free, the same port).
    async restart(more = {}) {
      await handle.stop({ keepData: true });
      const next = await startServer({ ...options, port: undefined, ...more, dataDir });
      if (ownDir) {
        const stopNext = next.stop;
        next.stop = (opts = {}) => stopNext({ keepData: false, ...opts });
      }
      return next;
    },
  };
  return handle;
}

module.exports = { startServer, AdminClient, AppClient, AdminError, request };
