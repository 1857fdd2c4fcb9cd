'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { startServer } = require('../client');
const { takeViolations } = require('../testing');

const CLI = path.join(__dirname, '..', 'cli.js');

describe('command line server', () => {
  it('prints one JSON line, writes the demo session files and keeps its state across a restart', async () => {
    let server = await startServer({ seed: 'demo', holdMs: 200 });
    try {
      // Its address, certificate and files are what every engine suite starts from; here, what they leave open.
      const session = JSON.parse(fs.readFileSync(server.sessionFile, 'utf8'));
      assert.deepEqual(Object.keys(session).sort(), ['accessToken', 'serverHostname', 'userFullName', 'userGuid', 'userLoginName']);
      assert.deepEqual([session.serverHostname, session.accessToken, await server.session()], [server.hostname, server.token, session]);
      const libraries = JSON.parse(fs.readFileSync(server.fileLibrariesFile, 'utf8'));
      assert.deepEqual([libraries.length, await server.admin.fileLibraries('demo')], [2, libraries]);
      for (const lib of libraries) assert.deepEqual(Object.keys(lib).sort(), ['id', 'name', 'teamId', 'tenantId', 'tenantName']);

      const [docs] = libraries;
      const before = await server.app.call('FileSync.getHierarchy', { tenantId: docs.tenantId, id: docs.id });
      const names = before.hierarchy.files.map((f) => f.name);
      assert.ok(names.some((n) => /[^\x00-\x7f]/.test(n)) && names.some((n) => n.includes(' ')) && names.some((n) => n.length > 150));
      const extra = await server.admin.issueToken({ ttlMs: 3600000 });
      const added = await server.admin.putFile(docs.tenantId, docs.id, 'after restart/kept.txt', 'kept');
      const state = (await server.admin.library(docs.tenantId, docs.id)).state;

      server = await server.restart();
      assert.equal((await server.admin.library(docs.tenantId, docs.id)).state, state);
      assert.equal(server.hostname, session.serverHostname, 'the port is kept when it is free');
      const res = await server.app.download(docs.tenantId, added.id, { token: extra.token });
      assert.deepEqual([res.status, res.body.toString()], [200, 'kept']);
      const after = await server.app.call('FileSync.getHierarchy', { tenantId: docs.tenantId, id: docs.id });
      assert.equal(after.hierarchy.files.length, before.hierarchy.files.length);
      assert.deepEqual(await takeViolations(server), []);
    } finally {
      await server.stop();
    }
  });

  it('refuses bad arguments and addresses other than loopback', () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'bx-devserver-cli-'));
    try {
      const run = (...args) => spawnSync(process.execPath, [CLI, ...args], { encoding: 'utf8', timeout: 20000, killSignal: 'SIGKILL' });
      for (const [args, status, message = /./] of [[[], 2, /--data DIR is required/], [['--data', dir, '--host', '0.0.0.0'], 1, /only 127\.0\.0\.1/],
        [['--data', dir, '--port', 'http'], 2], [['--data', dir, '--bogus'], 2], [['--data', dir, '--seed', 'huge'], 1]]) {
        const result = run(...args);
        assert.deepEqual([result.status, message.test(result.stderr)], [status, true], args.join(' '));
      }
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
