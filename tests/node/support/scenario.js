'use strict';
// End-to-end scenarios: the reference server, one isolated home folder as the store folder, and the
// real add-on answering session requests. Trees are compared the way a user sees them: paths, sizes
// and content hashes on both sides.

const fs = require('node:fs');
const path = require('node:path');
const crypto = require('node:crypto');
const { spawn } = require('node:child_process');
const { startServer } = require('../../../tools/devserver/client');
const { repo, isolateHome, addonPath, startEngine, sleep, waitFor } = require('./engine');

const engine = require(addonPath());
const sameJson = (a, b) => JSON.stringify(a) === JSON.stringify(b);

// Dot-files are the engine's own (cache, temporary downloads) or never synchronised.
function localTree(root, prefix = '', out = {}) {
  let entries = [];
  try { entries = fs.readdirSync(path.join(root, prefix), { withFileTypes: true }); } catch { /* not there (yet) */ }
  for (const e of entries) {
    if (e.name.startsWith('.')) continue;
    const rel = prefix ? `${prefix}/${e.name}` : e.name;
    if (e.isDirectory()) {
      out[rel] = { type: 'folder' };
      localTree(root, rel, out);
    } else if (e.isFile()) {
      try {
        const bytes = fs.readFileSync(path.join(root, rel));
        out[rel] = { type: 'file', size: bytes.length, contentHash: crypto.createHash('sha1').update(bytes).digest('hex') };
      } catch { /* moved away by the engine while listing; the next look sees where it went */ }
    }
  }
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
    const home = isolateHome();
    [s.store, s.dataDir, s.readLog] = [home.home, home.dataDir, home.readLog];
    s.tenantFolder = path.join(s.store, `Brindlex - ${tenantName}`);
    return s;
  }

  async fileLibraries(names = Object.keys(this.libs)) {
    return JSON.stringify(await this.server.admin.fileLibraries(this.tenant.id, names.map((n) => this.libs[n])));
  }

  async startEngine(names) {
    this.libraryList = await this.fileLibraries(names);
    this.run = startEngine(engine);
    // The engine asks for a session at start and every two minutes; answer each request.
    let answered = 0;
    this.answering = setInterval(() => {
      if (this.run.calls.sessionRequests <= answered) return;
      answered = this.run.calls.sessionRequests;
      engine.setUserSession(this.session);
      engine.setFileLibraries(this.libraryList);
    }, 20);
    await waitFor(() => answered > 0, 10000, 'the engine to ask for a session');
  }

  // The engine in a CLI host of its own, so that a test can kill it like a crash would.
  async startHost(names) {
    const [session, libraries] = [path.join(this.store, '.session.json'), path.join(this.store, '.libraries.json')];
    fs.writeFileSync(session, this.session);
    fs.writeFileSync(libraries, await this.fileLibraries(names));
    this.host = spawn(process.execPath, [path.join(repo, 'host', 'bxsync.js'), '--session', session, '--libraries', libraries, '--quiet'],
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
    let [last, since] = [null, 0];
    for (;;) {
      const both = {};
      for (const name of Object.keys(this.libs)) both[name] = { local: this.local(name), remote: await this.remote(name) };
      const text = JSON.stringify(both);
      if (text !== last) [last, since] = [text, Date.now()];
      const unequal = Object.entries(both).filter(([, t]) => !sameJson(t.local, t.remote));
      if (!unequal.length && Date.now() - since >= quietMs) return both;
      if (Date.now() > until) {
        // Only the paths that differ: whole trees hide the difference past the cut.
        const diff = unequal.map(([name, t]) => [name, Object.keys({ ...t.local, ...t.remote })
          .filter((p) => !sameJson(t.local[p], t.remote[p])).map((p) => ({ path: p, local: t.local[p], remote: t.remote[p] }))]);
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
}

module.exports = { Scenario, engine, localTree, sleep, waitFor };
