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
      assert.match(server.url, /^https:\/\/127\.0\.0\.1:\d+$/);
      assert.equal(server.hostname, `127.0.0.1:${server.port}`);
      assert.equal(server.adminUrl, `${server.url}/admin`);
      assert.ok(fs.readFileSync(server.caFile, 'utf8').includes('BEGIN CERTIFICATE'));

      const session = JSON.parse(fs.readFileSync(server.sessionFile, 'utf8'));
      assert.deepEqual(Object.keys(session).sort(), ['accessToken', 'serverHostname', 'userFullName', 'userGuid', 'userLoginName']);
      assert.equal(session.serverHostname, server.hostname);
      assert.equal(session.accessToken, server.token);
      assert.deepEqual(await server.session(), session);
      const libraries = JSON.parse(fs.readFileSync(server.fileLibrariesFile, 'utf8'));
      assert.equal(libraries.length, 2);
      assert.deepEqual(await server.admin.fileLibraries('demo'), libraries);
      for (const lib of libraries) {
        assert.deepEqual(Object.keys(lib).sort(), ['id', 'name', 'teamId', 'tenantId', 'tenantName']);
        assert.ok(Object.values(lib).every((v) => typeof v === 'string' && v));
      }

      const [docs] = libraries;
      const before = await server.app.call('FileSync.getHierarchy', { tenantId: docs.tenantId, id: docs.id });
      const names = before.hierarchy.files.map((f) => f.name);
      assert.ok(names.some((n) => /[^\x00-\x7f]/.test(n)) && names.some((n) => n.includes(' ')) && names.some((n) => n.length > 150));
      const extra = await server.admin.issueToken({ ttlMs: 3600000 });
      const added = await server.admin.putFile(docs.tenantId, docs.id, 'after restart/kept.txt', 'kept');
      const state = (await server.admin.library(docs.tenantId, docs.id)).state;

      server = await server.restart();
      const lib = await server.admin.library(docs.tenantId, docs.id);
      assert.equal(lib.state, state);
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
      const run = (...args) => spawnSync(process.execPath, [CLI, ...args], { encoding: 'utf8', timeout: 20000 });
      const noData = run();
      assert.equal(noData.status, 2);
      assert.match(noData.stderr, /--data DIR is required/);
      assert.equal(run('--data', dir, '--port', 'http').status, 2);
      assert.equal(run('--data', dir, '--bogus').status, 2);
      const remote = run('--data', dir, '--host', '0.0.0.0');
      assert.equal(remote.status, 1);
      assert.match(remote.stderr, /only 127\.0\.0\.1/);
      assert.equal(run('--data', dir, '--seed', 'huge').status, 1);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });
});
