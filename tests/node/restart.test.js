'use strict';
// The engine killed in the middle of an initial download and started again: the trees converge,
// nothing is doubled, no partial file is left.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { isolateHome, repo } = require('./support/engine');
const { startServer } = require('../../tools/devserver/client');

const env = isolateHome();
const host = path.join(repo, 'host', 'bxsync.js');
const FILES = 150;

function listFiles(root) {
  const out = [];
  const walk = (dir, rel) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      if (entry.name.startsWith('.')) continue;
      const relPath = rel ? `${rel}/${entry.name}` : entry.name;
      if (entry.isDirectory()) walk(path.join(dir, entry.name), relPath);
      else out.push(relPath);
    }
  };
  if (fs.existsSync(root)) walk(root, '');
  return out.sort();
}

function startHost(sessionFile, librariesFile, caFile) {
  return spawn(process.execPath, [host, '--session', sessionFile, '--libraries', librariesFile, '--quiet'], {
    env: { ...process.env, BXSYNC_EXTRA_CA_CERTS: caFile },
    stdio: 'ignore',
  });
}

async function waitFor(predicate, timeoutMs) {
  const start = Date.now();
  while (Date.now() - start < timeoutMs) {
    if (predicate()) return true;
    await new Promise((r) => setTimeout(r, 100));
  }
  return false;
}

test('a killed initial download converges after a restart without "(2)" copies', { timeout: 180000 }, async () => {
  const server = await startServer({ inProcess: true, holdMs: 300 });
  try {
    const files = {};
    for (let i = 0; i < FILES; i += 1) files[`F${i % 5}/file${i}.txt`] = `content ${i} `.repeat(200 + i);
    const made = await server.admin.setupLibrary({ tenant: { name: 'Restart' }, library: 'Lib', files });
    const sessionFile = path.join(env.home, 'session.json');
    const librariesFile = path.join(env.home, 'libraries.json');
    fs.writeFileSync(sessionFile, JSON.stringify(await server.session()));
    fs.writeFileSync(librariesFile, JSON.stringify(await server.admin.fileLibraries(made.tenant.id)));
    // Slow downloads, so that the kill lands in the middle.
    await server.admin.addFault({ type: 'delay', endpoint: 'download', ms: 40, count: FILES });

    const store = env.home;
    const libraryRoot = () => {
      const tenantDir = fs.readdirSync(store).find((n) => n.startsWith('Brindlex - '));
      return tenantDir ? path.join(store, tenantDir, 'Lib') : path.join(store, 'none');
    };
    const first = startHost(sessionFile, librariesFile, server.caFile);
    assert.ok(await waitFor(() => listFiles(libraryRoot()).length >= 20, 60000), 'downloads did not start');
    first.kill('SIGKILL');
    await new Promise((resolve) => first.on('exit', resolve));
    assert.ok(listFiles(libraryRoot()).length < FILES, 'the kill came too late to test anything');
    await server.admin.clearFaults();

    const second = startHost(sessionFile, librariesFile, server.caFile);
    const converged = await waitFor(() => listFiles(libraryRoot()).length >= FILES, 90000);
    second.kill('SIGTERM');
    await new Promise((resolve) => second.on('exit', resolve));
    assert.ok(converged, `only ${listFiles(libraryRoot()).length} files`);

    assert.deepEqual(listFiles(libraryRoot()), Object.keys(files).sort());
    for (const [rel, content] of Object.entries(files))
      assert.equal(fs.readFileSync(path.join(libraryRoot(), rel), 'utf8'), content, rel);
    const downloads = path.join(store, '.Brindlex Downloads');
    assert.deepEqual(fs.existsSync(downloads) ? fs.readdirSync(downloads) : [], []);
    assert.deepEqual(await server.admin.violations(), []);
  } finally {
    await server.stop();
  }
});
