'use strict';
// End-to-end scenarios: the reference server, one isolated home folder as the store folder, and the
// real add-on answering session requests. Trees are compared the way a user sees them: paths, sizes
// and content hashes on both sides.

const fs = require('node:fs');
const path = require('node:path');
const crypto = require('node:crypto');
const { spawn } = require('node:child_process');
const { startServer } = require('../../../tools/devserver/client');
const os = require('node:os');
const { addonPath, startEngine, waitFor } = require('./engine');

const engine = require(addonPath());
const homes = [];
process.on('exit', () => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

// Each scenario gets its own home (the store folder) and data folder; the engine reads both at start.
function freshHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'bxsync-e2e-'));
  homes.push(home);
  Object.assign(process.env, {
    HOME: home,
    XDG_DATA_HOME: path.join(home, '.local', 'share'),
    XDG_CONFIG_HOME: path.join(home, '.config'),
    XDG_CACHE_HOME: path.join(home, '.cache'),
  });
  return home;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Dot-files are the engine's own (cache, temporary downloads) or never synchronised.
function localTree(root) {
  const out = {};
  const walk = (dir, prefix) => {
    let entries;
    try {
      entries = fs.readdirSync(dir, { withFileTypes: true });
    } catch {
      return;
    }
    for (const e of entries) {
      if (e.name.startsWith('.')) continue;
      const rel = prefix ? `${prefix}/${e.name}` : e.name;
      const full = path.join(dir, e.name);
      if (e.isDirectory()) {
        out[rel] = { type: 'folder' };
        walk(full, rel);
      } else if (e.isFile()) {
        let bytes;
        try {
          bytes = fs.readFileSync(full);
        } catch {
          continue; // moved away by the engine while listing; the next look sees where it went
        }
        out[rel] = { type: 'file', size: bytes.length, contentHash: crypto.createHash('sha1').update(bytes).digest('hex') };
      }
    }
  };
  walk(root, '');
  return out;
}

const sorted = (tree) => Object.fromEntries(Object.keys(tree).sort().map((k) => [k, tree[k]]));

class Scenario {
  // libraries: [{name, files: {path: content}, folders: [path]}], all in one tenant.
  static async start({ tenantName = 'Acme', libraries = [{ name: 'Docs' }], holdMs = 2000 } = {}) {
    const s = new Scenario();
    s.server = await startServer({ inProcess: true, holdMs });
    process.env.BXSYNC_EXTRA_CA_CERTS = s.server.caFile;
    const { admin } = s.server;
    s.tenant = await admin.createTenant({ name: tenantName });
    const team = await admin.createTeam(s.tenant.id, { name: 'Team' });
    s.libs = {};
    for (const lib of libraries) {
      const made = await admin.createLibrary(s.tenant.id, { teamId: team.id, name: lib.name });
      for (const folder of lib.folders || []) await admin.mkdir(s.tenant.id, made.id, folder);
      for (const [p, content] of Object.entries(lib.files || {})) await admin.putFile(s.tenant.id, made.id, p, content);
      s.libs[lib.name] = made.id;
    }
    s.session = JSON.stringify(await s.server.session());
    s.store = freshHome();
    s.dataDir = path.join(s.store, '.local', 'share', 'Brindlex');
    s.tenantFolder = path.join(s.store, `Brindlex - ${tenantName}`);
    return s;
  }

  async fileLibraries(names = Object.keys(this.libs)) {
    return JSON.stringify(await this.server.admin.fileLibraries(this.tenant.id, names.map((n) => this.libs[n])));
  }

  async startEngine(names) {
    this.libraryList = await this.fileLibraries(names);
    this.run = startEngine(engine);
    const answer = () => {
      engine.setUserSession(this.session);
      engine.setFileLibraries(this.libraryList);
    };
    // The engine asks for a session at start and every two minutes; answer each request.
    let answered = 0;
    this.answering = setInterval(() => {
      if (this.run.calls.sessionRequests > answered) {
        answered = this.run.calls.sessionRequests;
        answer();
      }
    }, 20);
    await waitFor(() => answered > 0, 10000, 'the engine to ask for a session');
  }

  // The engine in a CLI host of its own, so that a test can kill it like a crash would.
  async startHost(names) {
    const session = path.join(this.store, '.session.json');
    const libraries = path.join(this.store, '.libraries.json');
    fs.writeFileSync(session, this.session);
    fs.writeFileSync(libraries, await this.fileLibraries(names));
    const host = path.join(__dirname, '..', '..', '..', 'host', 'bxsync.js');
    this.host = spawn(process.execPath, [host, '--session', session, '--libraries', libraries, '--quiet'],
      { env: process.env, stdio: 'ignore' });
    this.hostExited = new Promise((resolve) => this.host.once('exit', resolve));
  }

  async killHost(signal = 'SIGKILL') {
    this.host.kill(signal);
    await this.hostExited;
    this.host = null;
  }

  setLibraries(list) {
    this.libraryList = list;
    engine.setFileLibraries(list);
  }

  async stopEngine() {
    if (!this.run) return;
    clearInterval(this.answering);
    engine.stop();
    await this.run.finished;
    this.run = null;
  }

  localPath(library, rel = '') {
    return path.join(this.tenantFolder, library, rel);
  }

  local(library) {
    return sorted(localTree(this.localPath(library)));
  }

  async remote(library) {
    return sorted(await this.server.admin.treeMap(this.tenant.id, this.libs[library]));
  }

  async item(library, rel) {
    return this.server.admin.findByPath(this.tenant.id, this.libs[library], rel);
  }

  // Waits until the local and the server tree of every library are equal and stay so for a while.
  async converge(timeoutMs = 60000, quietMs = 2500) {
    const until = Date.now() + timeoutMs;
    let last = null;
    let since = 0;
    for (;;) {
      const both = {};
      for (const name of Object.keys(this.libs)) both[name] = { local: this.local(name), remote: await this.remote(name) };
      const text = JSON.stringify(both);
      const equal = Object.values(both).every((t) => JSON.stringify(t.local) === JSON.stringify(t.remote));
      if (text !== last) { last = text; since = Date.now(); }
      if (equal && Date.now() - since >= quietMs) return both;
      if (Date.now() > until) {
        // Only the paths that differ: whole trees hide the difference past the cut.
        const diff = Object.entries(both).filter(([, t]) => JSON.stringify(t.local) !== JSON.stringify(t.remote))
          .map(([name, t]) => [name, [...new Set([...Object.keys(t.local), ...Object.keys(t.remote)])]
            .filter((p) => JSON.stringify(t.local[p]) !== JSON.stringify(t.remote[p]))
            .map((p) => ({ path: p, local: t.local[p], remote: t.remote[p] }))]);
        throw new Error(`trees did not converge: ${JSON.stringify(diff, null, 1).slice(0, 4000)}`);
      }
      await sleep(250);
    }
  }

  requests(filter) {
    return this.server.admin.log(filter);
  }

  violations() {
    return this.server.admin.violations();
  }

  async close() {
    if (this.host) await this.killHost('SIGTERM');
    await this.stopEngine();
    await this.server.stop();
  }

  readLog() {
    try {
      return fs.readFileSync(path.join(this.dataDir, 'bxsync_log.txt'), 'utf8');
    } catch {
      return '';
    }
  }
}

module.exports = { Scenario, engine, localTree, sleep, waitFor };
