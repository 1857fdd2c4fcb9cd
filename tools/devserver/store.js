'use strict';

const fs = require('node:fs');
const fsp = require('node:fs/promises');
const path = require('node:path');
const crypto = require('node:crypto');
const { EventEmitter } = require('node:events');
const { E, isError } = require('./errors');

const ROLES = ['None', 'Reader', 'Editor', 'Admin'];
const TENANT_ID = /^[A-Za-z0-9][A-Za-z0-9_-]{0,63}$/;
const STATE_FILE = 'state.json';

const DEFAULT_SETTINGS = Object.freeze({
  holdMs: 60000,
  avMarker: 'BX-AV-TEST-SIGNATURE',
  caseSensitiveNames: false,
  checkLibraryState: true,
});

const randomToken = (bytes = 24) => crypto.randomBytes(bytes).toString('base64url');
const newState = () => crypto.randomBytes(10).toString('hex');
const wholeSeconds = (ms) => Math.floor(ms / 1000) * 1000;
const hasOwn = (obj, key) => Object.prototype.hasOwnProperty.call(obj, key);

function nameProblem(name) {
  if (typeof name !== 'string' || name.length === 0) return 'name is empty';
  if (name === '.' || name === '..') return `name ${JSON.stringify(name)} is reserved`;
  if (/[/\u0000-\u001f\u007f]/.test(name)) return `name ${JSON.stringify(name)} contains "/" or a control character`;
  if ([...name].length > 255) return 'name is longer than 255 characters';
  return null;
}

function splitExtension(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? [name.slice(0, dot), name.slice(dot)] : [name, ''];
}

// All server state in one place: tenants, teams, libraries, the item tree,
// users and tokens. Mutations return the changed record or an ApiError and
// never touch the disk synchronously; saving is coalesced and crash-safe.
class Store extends EventEmitter {
  static open(dataDir) {
    const file = path.join(dataDir, STATE_FILE);
    let saved = null;
    if (fs.existsSync(file)) {
      try {
        saved = JSON.parse(fs.readFileSync(file, 'utf8'));
      } catch (err) {
        return { error: `cannot read ${file}: ${err.message}` };
      }
    }
    const store = new Store(dataDir, saved);
    if (!saved) store.save();
    return store;
  }

  constructor(dataDir, saved) {
    super();
    this.dataDir = dataDir;
    this.saving = null;
    this.dirty = false;
    const s = saved || {};
    this.nextId = s.nextId || 1000;
    this.adminToken = s.adminToken || randomToken();
    this.watSecret = s.watSecret || randomToken(32);
    this.settings = { ...DEFAULT_SETTINGS, ...(s.settings || {}) };
    this.seeded = s.seeded || null;
    this.lastPort = s.lastPort || null;
    this.users = new Map((s.users || []).map((u) => [u.login, u]));
    this.tokens = new Map((s.tokens || []).map((t) => [t.token, t]));
    this.tenants = new Map((s.tenants || []).map((t) => [t.id, t]));
    this.teams = new Map((s.teams || []).map((t) => [t.id, t]));
    this.libraries = new Map((s.libraries || []).map((l) => [l.id, l]));
    this.items = new Map((s.items || []).map((i) => [i.id, i]));
    this.defaultUser = s.defaultUser;
    if (!this.defaultUser) {
      const user = this.addUser({ login: 'demo.user', fullName: 'Demo User' });
      this.defaultUser = user.login;
      this.issueToken({ user: user.login });
    }
    this.rebuildIndexes();
  }

  rebuildIndexes() {
    this.kids = new Map();
    this.names = new Map();
    this.usage = new Map();
    for (const item of this.items.values()) this.index(item);
  }

  nameKey(name) {
    return this.settings.caseSensitiveNames ? name : name.toLowerCase();
  }

  index(item) {
    if (!this.kids.has(item.parentId)) {
      this.kids.set(item.parentId, new Set());
      this.names.set(item.parentId, new Map());
    }
    this.kids.get(item.parentId).add(item.id);
    this.names.get(item.parentId).set(this.nameKey(item.name), item.id);
    if (item.type === 'file') this.addUsage(item, item.size);
  }

  unindex(item) {
    this.kids.get(item.parentId)?.delete(item.id);
    const names = this.names.get(item.parentId);
    if (names && names.get(this.nameKey(item.name)) === item.id) names.delete(this.nameKey(item.name));
    if (item.type === 'file') this.addUsage(item, -item.size);
  }

  addUsage(item, delta) {
    const tenantId = this.libraries.get(item.libraryId)?.tenantId;
    if (tenantId) this.usage.set(tenantId, (this.usage.get(tenantId) || 0) + delta);
  }

  // ---- persistence -------------------------------------------------------

  snapshot() {
    return {
      version: 1,
      nextId: this.nextId,
      adminToken: this.adminToken,
      watSecret: this.watSecret,
      settings: this.settings,
      seeded: this.seeded,
      lastPort: this.lastPort,
      defaultUser: this.defaultUser,
      users: [...this.users.values()],
      tokens: [...this.tokens.values()],
      tenants: [...this.tenants.values()],
      teams: [...this.teams.values()],
      libraries: [...this.libraries.values()],
      items: [...this.items.values()],
    };
  }

  save() {
    this.dirty = true;
    if (!this.saving) this.saving = this.saveLoop();
  }

  async saveLoop() {
    const file = path.join(this.dataDir, STATE_FILE);
    try {
      while (this.dirty) {
        // Let a burst of changes land in one write.
        await new Promise((resolve) => setImmediate(resolve));
        this.dirty = false;
        const temp = `${file}.${process.pid}.tmp`;
        const handle = await fsp.open(temp, 'w');
        try {
          await handle.writeFile(JSON.stringify(this.snapshot()));
          await handle.datasync();
        } finally {
          await handle.close();
        }
        await fsp.rename(temp, file);
      }
    } catch (err) {
      this.emit('saveError', err);
    } finally {
      this.saving = null;
    }
  }

  async flush() {
    while (this.saving) await this.saving;
  }

  allocateId() {
    this.nextId += 1;
    return String(this.nextId);
  }

  // ---- users and tokens ---------------------------------------------------

  addUser({ login, fullName, guid }) {
    if (typeof login !== 'string' || !/^[^\s/]{1,128}$/.test(login)) return E.params('user login must be 1-128 characters without blanks or "/"');
    if (this.users.has(login)) return E.exists(`user ${login} exists`);
    const user = { login, fullName: fullName || login, guid: guid || crypto.randomUUID() };
    this.users.set(login, user);
    this.save();
    return user;
  }

  issueToken({ user, ttlMs, token } = {}) {
    const login = user || this.defaultUser;
    if (!this.users.has(login)) return E.params(`unknown user ${JSON.stringify(login)}`);
    if (token !== undefined && (typeof token !== 'string' || !/^[\x21-\x7e]{8,512}$/.test(token))) {
      return E.params('token must be 8-512 printable ASCII characters');
    }
    if (ttlMs !== undefined && ttlMs !== null && !(Number.isFinite(ttlMs) && ttlMs > 0)) return E.params('ttlMs must be a positive number');
    const record = { token: token || randomToken(), user: login, expiresAt: ttlMs ? Date.now() + ttlMs : null, revoked: false };
    this.tokens.set(record.token, record);
    this.save();
    return record;
  }

  defaultToken() {
    for (const t of this.tokens.values()) {
      if (t.user === this.defaultUser && !t.revoked && t.expiresAt === null) return t.token;
    }
    return this.issueToken({ user: this.defaultUser }).token;
  }

  expireToken(token) {
    const record = this.tokens.get(token);
    if (!record) return E.notFound('unknown token');
    record.expiresAt = Date.now() - 1;
    this.save();
    return record;
  }

  revokeToken(token) {
    const record = this.tokens.get(token);
    if (!record) return E.notFound('unknown token');
    record.revoked = true;
    this.save();
    return record;
  }

  // The user behind a bearer token, or null when it is unknown, expired or revoked.
  userForToken(token) {
    const record = this.tokens.get(token);
    if (!record || record.revoked) return null;
    if (record.expiresAt !== null && record.expiresAt <= Date.now()) return null;
    return this.users.get(record.user) || null;
  }

  // ---- tenants, teams, libraries -----------------------------------------

  createTenant({ id, name, quota = null }) {
    const tenantId = id === undefined ? `t${crypto.randomBytes(4).toString('hex')}` : id;
    if (typeof tenantId !== 'string' || !TENANT_ID.test(tenantId)) return E.params('tenant id must be 1-64 letters, digits, "-" or "_"');
    if (this.tenants.has(tenantId)) return E.exists(`tenant ${tenantId} exists`);
    if (typeof name !== 'string' || !name) return E.params('tenant name is required');
    const bad = quotaProblem(quota);
    if (bad) return E.params(bad);
    const tenant = { id: tenantId, name, quota };
    this.tenants.set(tenantId, tenant);
    this.save();
    return tenant;
  }

  updateTenant(tenant, { name, quota }) {
    if (name !== undefined) {
      if (typeof name !== 'string' || !name) return E.params('tenant name must be a non-empty string');
      tenant.name = name;
    }
    if (quota !== undefined) {
      const bad = quotaProblem(quota);
      if (bad) return E.params(bad);
      tenant.quota = quota;
    }
    this.save();
    return tenant;
  }

  createTeam(tenant, { name }) {
    if (typeof name !== 'string' || !name) return E.params('team name is required');
    const team = { id: this.allocateId(), tenantId: tenant.id, name };
    this.teams.set(team.id, team);
    this.save();
    return team;
  }

  team(tenant, teamId) {
    const team = this.teams.get(String(teamId));
    return team && team.tenantId === tenant.id ? team : null;
  }

  createLibrary(tenant, { teamId, name, role = 'Admin' }) {
    const team = this.team(tenant, teamId);
    if (!team) return E.notFound(`team ${JSON.stringify(teamId)} not found in tenant ${tenant.id}`);
    if (nameProblem(name)) return E.params(`library ${nameProblem(name)}`);
    if (!ROLES.includes(role)) return E.params(`role must be one of ${ROLES.join(', ')}`);
    const now = wholeSeconds(Date.now());
    const lib = {
      id: this.allocateId(), tenantId: tenant.id, teamId: team.id, name, state: newState(), changedId: 1,
      created: now, modified: now, defaultRole: role, roles: {}, watEpoch: 0, watcherHostname: null, deleted: false,
    };
    this.libraries.set(lib.id, lib);
    this.save();
    return lib;
  }

  library(tenantId, libraryId) {
    const lib = this.libraries.get(libraryId);
    return lib && !lib.deleted && lib.tenantId === tenantId ? lib : null;
  }

  librariesOf(tenantId) {
    return [...this.libraries.values()].filter((l) => !l.deleted && l.tenantId === tenantId);
  }

  roleOf(lib, login) {
    return hasOwn(lib.roles, login) ? lib.roles[login] : lib.defaultRole;
  }

  setRole(lib, login, role) {
    if (!ROLES.includes(role)) return E.params(`role must be one of ${ROLES.join(', ')}`);
    if (login === '*') lib.defaultRole = role;
    else lib.roles[login] = role;
    this.save();
    return lib;
  }

  updateLibrary(lib, { name, watcherHostname }) {
    if (name !== undefined) {
      if (nameProblem(name)) return E.params(`library ${nameProblem(name)}`);
      lib.name = name;
    }
    if (watcherHostname !== undefined) {
      if (watcherHostname !== null && (typeof watcherHostname !== 'string' || !watcherHostname)) return E.params('watcherHostname must be a non-empty string or null');
      lib.watcherHostname = watcherHostname;
    }
    this.changed(lib);
    return lib;
  }

  deleteLibrary(lib) {
    for (const id of [...(this.kids.get(lib.id) || [])]) this.removeSubtree(this.items.get(id));
    lib.deleted = true;
    this.changed(lib);
    return lib;
  }

  revokeWats(lib) {
    lib.watEpoch += 1;
    this.save();
    return lib;
  }

  tenantUsage(tenantId) {
    return this.usage.get(tenantId) || 0;
  }

  // Bumps the library's state; every change of its tree ends here.
  changed(lib) {
    lib.state = newState();
    lib.changedId += 1;
    lib.modified = wholeSeconds(Date.now());
    this.save();
    this.emit('libraryChanged', lib);
  }

  // ---- tree --------------------------------------------------------------

  item(lib, id) {
    const item = this.items.get(id);
    return item && item.libraryId === lib.id ? item : null;
  }

  // The library itself or one of its folders, else null.
  container(lib, id) {
    if (id === lib.id) return lib;
    const item = this.item(lib, id);
    return item && item.type === 'folder' ? item : null;
  }

  children(parentId) {
    const ids = this.kids.get(parentId);
    return ids ? [...ids].map((id) => this.items.get(id)) : [];
  }

  childNamed(parentId, name) {
    const id = this.names.get(parentId)?.get(this.nameKey(name));
    return id ? this.items.get(id) : null;
  }

  // "name (2).ext", "name (3).ext", ... the first free one in the folder.
  freeName(parentId, name) {
    if (!this.childNamed(parentId, name)) return name;
    const [base, ext] = splitExtension(name);
    for (let n = 2; ; n += 1) {
      const candidate = `${base} (${n})${ext}`;
      if (!this.childNamed(parentId, candidate)) return candidate;
    }
  }

  isInside(item, ancestorId) {
    for (let at = item; at; at = this.items.get(at.parentId)) {
      if (at.id === ancestorId) return true;
    }
    return false;
  }

  pathOf(item) {
    const parts = [];
    for (let at = item; at; at = this.items.get(at.parentId)) parts.unshift(at.name);
    return parts.join('/');
  }

  addFolder(lib, parentId, name, { time } = {}) {
    const problem = this.placeProblem(lib, parentId, name);
    if (problem) return problem;
    const now = wholeSeconds(time || Date.now());
    const folder = { id: this.allocateId(), type: 'folder', libraryId: lib.id, parentId, name, created: now, modified: now };
    this.items.set(folder.id, folder);
    this.index(folder);
    this.changed(lib);
    return folder;
  }

  addFile(lib, parentId, name, { hash, size, created, modified }) {
    const problem = this.placeProblem(lib, parentId, name);
    if (problem) return problem;
    const now = wholeSeconds(Date.now());
    const file = {
      id: this.allocateId(), type: 'file', libraryId: lib.id, parentId, name,
      created: wholeSeconds(created || now), modified: wholeSeconds(modified || now), size, hash, state: newState(),
    };
    this.items.set(file.id, file);
    this.index(file);
    this.changed(lib);
    return file;
  }

  setFileContent(lib, file, { hash, size, created, modified }) {
    this.addUsage(file, size - file.size);
    file.hash = hash;
    file.size = size;
    if (created) file.created = wholeSeconds(created);
    file.modified = wholeSeconds(modified || Date.now());
    file.state = newState();
    this.changed(lib);
    return file;
  }

  rename(lib, item, newName) {
    const bad = nameProblem(newName);
    if (bad) return E.params(bad);
    const holder = this.childNamed(item.parentId, newName);
    if (holder && holder.id !== item.id) return E.exists(`${JSON.stringify(newName)} already exists in the folder`, { id: holder.id });
    if (item.name === newName) return item;
    this.unindex(item);
    item.name = newName;
    if (item.type === 'folder') item.modified = wholeSeconds(Date.now());
    this.index(item);
    this.changed(lib);
    return item;
  }

  move(lib, item, newParentId) {
    if (!this.container(lib, newParentId)) return E.notFound(`target folder ${newParentId} not found in library ${lib.id}`);
    if (item.type === 'folder' && this.isInside(this.items.get(newParentId) || lib, item.id)) {
      return E.intoItself(`cannot move folder ${item.id} into itself`);
    }
    if (item.parentId === newParentId) return item;
    const holder = this.childNamed(newParentId, item.name);
    if (holder) return E.exists(`${JSON.stringify(item.name)} already exists in the target folder`, { id: holder.id });
    this.unindex(item);
    item.parentId = newParentId;
    this.index(item);
    this.changed(lib);
    return item;
  }

  remove(lib, item) {
    this.removeSubtree(item);
    this.changed(lib);
    return item;
  }

  removeSubtree(item) {
    for (const child of this.children(item.id)) this.removeSubtree(child);
    this.unindex(item);
    this.items.delete(item.id);
    this.kids.delete(item.id);
    this.names.delete(item.id);
  }

  placeProblem(lib, parentId, name) {
    if (!this.container(lib, parentId)) return E.notFound(`folder ${parentId} not found in library ${lib.id}`);
    const bad = nameProblem(name);
    if (bad) return E.params(bad);
    const holder = this.childNamed(parentId, name);
    if (holder) return E.exists(`${JSON.stringify(name)} already exists in the folder`, { id: holder.id, type: holder.type });
    return null;
  }

  // Walks "A/B/c.txt" from the library root; with `create` folders on the way are made.
  resolvePath(lib, relPath, { create = false } = {}) {
    const parts = String(relPath).split('/').filter(Boolean);
    let parentId = lib.id;
    let found = lib;
    for (const part of parts) {
      found = this.childNamed(parentId, part);
      if (!found && create) found = this.addFolder(lib, parentId, part);
      if (!found || isError(found)) return found || null;
      parentId = found.id;
    }
    return found;
  }

  // Every file and folder of a library with its path, sorted by path.
  flatTree(lib) {
    const out = [];
    const walk = (parentId, prefix) => {
      for (const item of this.children(parentId).sort((a, b) => (a.name < b.name ? -1 : 1))) {
        const itemPath = prefix ? `${prefix}/${item.name}` : item.name;
        const entry = {
          path: itemPath, type: item.type, id: item.id, parentId: item.parentId, name: item.name,
          createdTime: iso(item.created), modifiedTime: iso(item.modified),
        };
        if (item.type === 'file') Object.assign(entry, { size: item.size, contentHash: item.hash, state: item.state });
        out.push(entry);
        if (item.type === 'folder') walk(item.id, itemPath);
      }
    };
    walk(lib.id, '');
    return out;
  }

  referencedHashes() {
    const hashes = new Set();
    for (const item of this.items.values()) if (item.type === 'file') hashes.add(item.hash);
    return hashes;
  }

  updateSettings(patch) {
    const next = { ...this.settings };
    for (const [key, value] of Object.entries(patch || {})) {
      if (!hasOwn(DEFAULT_SETTINGS, key)) return E.params(`unknown setting ${JSON.stringify(key)}`);
      if (typeof value !== typeof DEFAULT_SETTINGS[key]) return E.params(`setting ${key} must be a ${typeof DEFAULT_SETTINGS[key]}`);
      next[key] = value;
    }
    if (!(Number.isInteger(next.holdMs) && next.holdMs >= 0 && next.holdMs <= 3600000)) return E.params('holdMs must be an integer from 0 to 3600000');
    const reindex = next.caseSensitiveNames !== this.settings.caseSensitiveNames;
    this.settings = next;
    if (reindex) this.rebuildIndexes();
    this.save();
    return this.settings;
  }
}

function quotaProblem(quota) {
  if (quota === null) return null;
  return Number.isSafeInteger(quota) && quota >= 0 ? null : 'quota must be null (unlimited) or a whole number of bytes';
}

// ISO-8601 UTC with whole seconds, the form every time travels in.
function iso(ms) {
  return new Date(ms).toISOString().replace(/\.\d{3}Z$/, 'Z');
}

module.exports = { Store, ROLES, nameProblem, iso, hasOwn };
