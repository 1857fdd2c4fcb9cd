'use strict';

const { Readable } = require('node:stream');
const { E, isError } = require('./errors');
const { readBody, drain, jsonReply, deliver } = require('./http-util');
const { generatedStream, repeatedStream } = require('./content');
const { iso, nameProblem } = require('./store');

const JSON_LIMIT = 4 << 20;

const STATUS_OF = {
  'api.exceptions.InvalidParameters': 400,
  'api.exceptions.InvalidRequest': 400,
  'api.exceptions.ParseError': 400,
  'brindlex.ItemNotFound': 404,
  'brindlex.TenantNotFound': 404,
  'api.exceptions.MethodNotFound': 404,
  'brindlex.AlreadyExists': 409,
  'brindlex.CannotMoveToItself': 409,
  'brindlex.NotPermitted': 409,
  'api.exceptions.InternalError': 500,
};

function libraryView(store, lib) {
  return {
    id: lib.id, tenantId: lib.tenantId, teamId: lib.teamId, name: lib.name, state: lib.state, changedId: lib.changedId,
    defaultRole: lib.defaultRole, roles: { ...lib.roles }, watcherHostname: lib.watcherHostname,
    createdTime: iso(lib.created), modifiedTime: iso(lib.modified),
  };
}

function tenantView(store, tenant) {
  return {
    ...tenant,
    usage: store.tenantUsage(tenant.id),
    teams: [...store.teams.values()].filter((t) => t.tenantId === tenant.id),
    libraries: store.librariesOf(tenant.id).map((l) => libraryView(store, l)),
  };
}

function timeField(body, key) {
  if (body[key] === undefined) return undefined;
  const ms = typeof body[key] === 'string' ? Date.parse(body[key]) : NaN;
  return Number.isNaN(ms) ? E.params(`${key} must be an ISO 8601 date-time`) : ms;
}

// The body of a file the admin API writes: raw bytes, or described in JSON.
function contentSource(body, req) {
  if (body === null) return { stream: req };
  const given = ['content', 'contentBase64', 'size'].filter((k) => body[k] !== undefined);
  if (given.length > 1) return E.params('give only one of "content", "contentBase64" or "size"');
  if (body.content !== undefined) {
    return typeof body.content === 'string' ? { stream: Readable.from([Buffer.from(body.content, 'utf8')]) } : E.params('"content" must be a string');
  }
  if (body.contentBase64 !== undefined) {
    return typeof body.contentBase64 === 'string' ? { stream: Readable.from([Buffer.from(body.contentBase64, 'base64')]) } : E.params('"contentBase64" must be a string');
  }
  if (body.size !== undefined) {
    if (!Number.isSafeInteger(body.size) || body.size < 0) return E.params('"size" must be a whole number of bytes');
    if (body.fill !== undefined) {
      if (typeof body.fill !== 'string' || !body.fill) return E.params('"fill" must be a non-empty string');
      return { stream: repeatedStream(body.fill, body.size) };
    }
    if (body.seed !== undefined && !Number.isInteger(body.seed)) return E.params('"seed" must be an integer');
    return { stream: generatedStream(body.size, body.seed === undefined ? body.size + 1 : body.seed) };
  }
  return { stream: Readable.from([]) };
}

class AdminApi {
  constructor(server) {
    this.server = server;
    const s = server;
    const st = s.store;
    const tenant = (p) => st.tenants.get(p.tenant) || E.tenant(p.tenant);
    const library = (p) => {
      const t = tenant(p);
      if (isError(t)) return t;
      return st.library(t.id, p.lib) || E.notFound(`library ${p.lib} not found in tenant ${t.id}`);
    };
    const item = (p) => {
      const lib = library(p);
      if (isError(lib)) return lib;
      return st.item(lib, p.item) || E.notFound(`item ${p.item} not found in library ${lib.id}`);
    };
    const withLib = (fn) => (p, body, req) => {
      const lib = library(p);
      return isError(lib) ? lib : fn(lib, p, body, req);
    };
    const withItem = (fn) => (p, body, req) => {
      const lib = library(p);
      if (isError(lib)) return lib;
      const it = st.item(lib, p.item) || E.notFound(`item ${p.item} not found in library ${lib.id}`);
      return isError(it) ? it : fn(lib, it, body, req);
    };

    const LIB = '/admin/tenants/(?<tenant>[^/]+)/libraries/(?<lib>\\d+)';
    this.routes = [
      ['GET', '/admin/info', () => ({ ...s.info, settings: st.settings, heldWatches: s.watcher.heldCount() })],
      ['GET', '/admin/settings', () => st.settings],
      ['PATCH', '/admin/settings', (p, body) => st.updateSettings(body)],

      ['GET', '/admin/users', () => [...st.users.values()]],
      ['POST', '/admin/users', (p, body) => st.addUser(body)],
      ['GET', '/admin/tokens', () => [...st.tokens.values()]],
      ['POST', '/admin/tokens', (p, body) => st.issueToken(body)],
      ['POST', '/admin/tokens/(?<token>[^/]+)/expire', (p) => st.expireToken(p.token)],
      ['DELETE', '/admin/tokens/(?<token>[^/]+)', (p) => st.revokeToken(p.token)],

      ['GET', '/admin/tenants', () => [...st.tenants.values()].map((t) => tenantView(st, t))],
      ['POST', '/admin/tenants', (p, body) => st.createTenant(body)],
      ['GET', '/admin/tenants/(?<tenant>[^/]+)', (p) => {
        const t = tenant(p);
        return isError(t) ? t : tenantView(st, t);
      }],
      ['PATCH', '/admin/tenants/(?<tenant>[^/]+)', (p, body) => {
        const t = tenant(p);
        return isError(t) ? t : st.updateTenant(t, body);
      }],
      ['POST', '/admin/tenants/(?<tenant>[^/]+)/teams', (p, body) => {
        const t = tenant(p);
        return isError(t) ? t : st.createTeam(t, body);
      }],
      ['POST', '/admin/tenants/(?<tenant>[^/]+)/libraries', (p, body) => {
        const t = tenant(p);
        if (isError(t)) return t;
        const lib = st.createLibrary(t, body);
        return isError(lib) ? lib : libraryView(st, lib);
      }],

      ['GET', LIB, withLib((lib) => libraryView(st, lib))],
      ['PATCH', LIB, withLib((lib, p, body) => {
        const done = st.updateLibrary(lib, body);
        return isError(done) ? done : libraryView(st, lib);
      })],
      ['DELETE', LIB, withLib((lib) => libraryView(st, st.deleteLibrary(lib)))],
      ['PUT', `${LIB}/roles/(?<user>[^/]+)`, withLib((lib, p, body) => {
        const done = st.setRole(lib, p.user, body.role);
        return isError(done) ? done : libraryView(st, lib);
      })],
      ['POST', `${LIB}/revoke-wats`, withLib((lib) => libraryView(st, st.revokeWats(lib)))],
      ['GET', `${LIB}/tree`, withLib((lib) => ({ library: libraryView(st, lib), items: st.flatTree(lib) }))],
      ['POST', `${LIB}/folders`, withLib((lib, p, body) => this.makeFolder(lib, body))],
      ['POST', `${LIB}/files`, withLib((lib, p, body, req) => this.putFile(lib, body, req, p.query))],
      ['PUT', `${LIB}/files/(?<item>\\d+)/content`, withItem((lib, it, body, req) => this.replaceContent(lib, it, body, req))],
      ['GET', `${LIB}/files/(?<item>\\d+)/content`, (p) => {
        const it = item(p);
        if (isError(it)) return it;
        if (it.type !== 'file') return E.notFound(`item ${it.id} is a folder`);
        return { stream: s.content.open(it.hash), length: it.size };
      }],
      ['PATCH', `${LIB}/items/(?<item>\\d+)`, withItem((lib, it, body) => {
        if (body.name !== undefined) {
          const done = st.rename(lib, it, body.name);
          if (isError(done)) return done;
        }
        if (body.parentId !== undefined) {
          const done = st.move(lib, it, String(body.parentId));
          if (isError(done)) return done;
        }
        return { ...it, path: st.pathOf(it), libraryState: lib.state };
      })],
      ['DELETE', `${LIB}/items/(?<item>\\d+)`, withItem((lib, it) => {
        st.remove(lib, it);
        return { removed: it.id, libraryState: lib.state };
      })],

      ['GET', '/admin/faults', () => s.faults.list()],
      ['POST', '/admin/faults', (p, body) => s.faults.add(body)],
      ['DELETE', '/admin/faults', () => { s.faults.clear(); return { cleared: true }; }],
      ['DELETE', '/admin/faults/(?<id>\\d+)', (p) => s.faults.remove(p.id)],
      ['GET', '/admin/log', (p) => s.requestLog.list({
        since: Number(p.query.since) || 0, endpoint: p.query.endpoint, method: p.query.method,
      })],
      ['DELETE', '/admin/log', () => { s.requestLog.clear(); return { cleared: true }; }],
      ['GET', '/admin/violations', () => s.violations.list()],
      ['DELETE', '/admin/violations', () => { s.violations.clear(); return { cleared: true }; }],
    ].map(([method, pattern, run]) => ({ method, regex: new RegExp(`^${pattern}$`), run }));
  }

  makeFolder(lib, body) {
    const st = this.server.store;
    if (body.path !== undefined) {
      if (typeof body.path !== 'string' || !body.path.split('/').filter(Boolean).length) return E.params('"path" must name a folder');
      const bad = body.path.split('/').filter(Boolean).map(nameProblem).find(Boolean);
      if (bad) return E.params(bad);
      const existing = st.resolvePath(lib, body.path);
      if (existing) return E.exists(`${body.path} already exists`, { id: existing.id });
      return st.resolvePath(lib, body.path, { create: true });
    }
    return st.addFolder(lib, String(body.parentId === undefined ? lib.id : body.parentId), body.name);
  }

  // Where a new file goes: {path} (folders made on the way) or {parentId, name}.
  placeOf(lib, desc) {
    const st = this.server.store;
    if (desc.path !== undefined) {
      const parts = typeof desc.path === 'string' ? desc.path.split('/').filter(Boolean) : [];
      if (!parts.length) return E.params('"path" must name a file');
      const bad = parts.map(nameProblem).find(Boolean);
      if (bad) return E.params(bad);
      const name = parts.pop();
      const parent = parts.length ? st.resolvePath(lib, parts.join('/'), { create: true }) : lib;
      if (isError(parent)) return parent;
      if (parent.type === 'file') return E.params(`${parts.join('/')} is a file`);
      return { parentId: parent.id, name };
    }
    const parentId = String(desc.parentId === undefined ? lib.id : desc.parentId);
    if (!st.container(lib, parentId)) return E.notFound(`folder ${parentId} not found in library ${lib.id}`);
    const bad = nameProblem(desc.name);
    return bad ? E.params(bad) : { parentId, name: desc.name };
  }

  async ingest(body, req) {
    const source = contentSource(body, req);
    if (isError(source)) return source;
    const got = await this.server.content.ingest(source.stream);
    if (got.error) return E.internal(`content could not be stored: ${got.error.message}`);
    await this.server.content.commit(got.temp, got.hash);
    return got;
  }

  async putFile(lib, body, req, query) {
    const st = this.server.store;
    const desc = body === null ? query : body;
    const created = timeField(desc, 'createdTime');
    const modified = timeField(desc, 'modifiedTime');
    if (isError(created)) return created;
    if (isError(modified)) return modified;
    const place = this.placeOf(lib, desc);
    if (isError(place)) return place;
    const holder = st.childNamed(place.parentId, place.name);
    const overwrite = desc.overwrite === true || desc.overwrite === 'true';
    if (holder && !(overwrite && holder.type === 'file')) return E.exists(`${place.name} already exists`, { id: holder.id });
    const got = await this.ingest(body, req);
    if (isError(got)) return got;
    if (!st.library(lib.tenantId, lib.id)) return E.notFound(`library ${lib.id} was removed meanwhile`);
    const content = { hash: got.hash, size: got.size, created, modified };
    const current = st.childNamed(place.parentId, place.name);
    const file = current && current.type === 'file' && overwrite
      ? st.setFileContent(lib, current, content)
      : st.addFile(lib, place.parentId, place.name, content);
    return isError(file) ? file : { ...file, path: st.pathOf(file), libraryState: lib.state };
  }

  async replaceContent(lib, file, body, req) {
    const st = this.server.store;
    if (file.type !== 'file') return E.params(`item ${file.id} is a folder`);
    const modified = timeField(body || {}, 'modifiedTime');
    if (isError(modified)) return modified;
    const got = await this.ingest(body, req);
    if (isError(got)) return got;
    if (!st.item(lib, file.id)) return E.notFound(`file ${file.id} was removed meanwhile`);
    st.setFileContent(lib, file, { hash: got.hash, size: got.size, modified });
    return { ...file, path: st.pathOf(file), libraryState: lib.state };
  }

  authorised(req) {
    const m = /^Bearer\s+(\S+)$/i.exec(req.headers.authorization || '');
    return Boolean(m) && m[1] === this.server.store.adminToken;
  }

  async handle(req, res, url) {
    const reply = (status, value) => deliver(res, jsonReply(status, value));
    const failWith = (err) => reply(STATUS_OF[err.fullName] || 400, { error: err.toJSON() });
    if (!this.authorised(req)) {
      await drain(req);
      return reply(401, { error: { message: 'admin token required (Authorization: Bearer <adminToken>)' } });
    }
    let match = null;
    const route = this.routes.find((r) => r.method === req.method && (match = r.regex.exec(url.pathname)));
    if (!route) {
      await drain(req);
      return failWith(E.method(`no admin route ${req.method} ${url.pathname}`));
    }
    const params = { ...(match.groups || {}), query: Object.fromEntries(url.searchParams) };
    for (const key of Object.keys(params)) {
      if (key !== 'query') {
        try {
          params[key] = decodeURIComponent(params[key]);
        } catch {
          return failWith(E.params(`bad URL escape in ${key}`));
        }
      }
    }
    let body = {};
    const raw = /^application\/octet-stream/i.test(req.headers['content-type'] || '');
    if (raw) {
      body = null;
    } else if (req.method !== 'GET' && req.method !== 'DELETE') {
      const read = await readBody(req, JSON_LIMIT);
      if (read.error) return undefined;
      if (read.tooLarge) return failWith(E.params('JSON body too large; send file bodies as application/octet-stream'));
      const text = read.body.toString('utf8').trim();
      if (text) {
        try {
          body = JSON.parse(text);
        } catch (err) {
          return failWith(E.parse(`body is not JSON: ${err.message}`));
        }
        if (body === null || typeof body !== 'object' || Array.isArray(body)) return failWith(E.params('body must be a JSON object'));
      }
    } else {
      await drain(req);
    }
    if (raw && !['files', 'content'].some((part) => url.pathname.endsWith(part))) {
      await drain(req);
      return failWith(E.params('only file bodies may be sent as application/octet-stream'));
    }
    let result;
    try {
      result = await route.run(params, body, req);
    } catch (err) {
      this.server.log(`error: admin ${req.method} ${url.pathname}: ${err.stack || err}`);
      result = E.internal(`admin ${req.method} ${url.pathname} failed: ${err.message}`);
    }
    if (raw && !req.readableEnded) await drain(req);
    if (isError(result)) return failWith(result);
    if (result && result.stream) {
      return deliver(res, { status: 200, headers: { 'content-type': 'application/octet-stream' }, body: result.stream, length: result.length });
    }
    return reply(req.method === 'POST' ? 201 : 200, result === undefined ? {} : result);
  }
}

module.exports = { AdminApi };
