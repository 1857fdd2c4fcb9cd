'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { spawnSync } = require('node:child_process');
const { isolateHome, addonPath, startEngine, runEngine, waitFor } = require('./support/engine');

const env = isolateHome();
const engine = require(addonPath());

test('before start: defaults, harmless setters and stop', () => {
  assert.equal(engine.getSyncStatus(), '{}');
  assert.equal(engine.getSyncedItemPath('1', '2'), '');
  assert.equal(engine.isRunning(), false);
  for (const call of [() => engine.setUserSession('{}'), () => engine.setFileLibraries('[]'), engine.setInstanceGuid, engine.stop])
    assert.equal(call(), undefined);
  assert.equal(engine.isRunning(), false);
});

test('the data folder is private, and a mode the user chose survives the rewrites', async () => {
  const mode = (file) => (fs.statSync(file).mode & 0o777).toString(8);
  await runEngine(engine);
  assert.equal(mode(env.dataDir), '700');
  for (const name of ['bxsync_cfg.json', 'bxsync.db', 'bxsync_log.txt'])
    assert.equal(mode(`${env.dataDir}/${name}`), '600', name);
  fs.chmodSync(env.configFile, 0o640);
  await runEngine(engine); // the configuration is rewritten at every start
  assert.equal(mode(env.configFile), '640');
});

test('a run: session request at start, setters reach the engine, stop ends it once', async () => {
  const run = startEngine(engine);
  await waitFor(() => run.calls.sessionRequests >= 1, 10000, 'the first session request');
  await new Promise((r) => setTimeout(r, 200));
  // One burst at start (two engine-side requests may or may not fold into one call), then quiet.
  assert.ok(run.calls.sessionRequests <= 2, `${run.calls.sessionRequests} session requests at start`);
  assert.deepEqual(run.calls.progress, []);
  assert.equal(engine.isRunning(), true);
  assert.equal(engine.getSyncStatus(), '{}');

  // A missing argument is forwarded as the text "undefined"; the configuration file shows it.
  engine.setInstanceGuid();
  await waitFor(() => env.readConfig().network?.instanceGuid === 'undefined', 5000, 'the instance GUID in the configuration');
  engine.setUserSession();
  await waitFor(() => /CBxSyncApi::setUserSession/.test(env.readLog()), 5000, 'the session call in the log');
  // Values that are no text at all are dropped, never thrown back.
  assert.doesNotThrow(() => engine.setUserSession(Symbol('not text')));
  assert.doesNotThrow(() => engine.setFileLibraries(Symbol('not text')));
  assert.equal(engine.getSyncedItemPath(Symbol('t'), '1'), '');

  engine.stop();
  assert.equal(engine.isRunning(), false); // at once, before the engine has finished
  engine.stop();
  await run.finished;
  await new Promise((r) => setTimeout(r, 200));
  assert.equal(run.calls.finished, 1);
  // Setters after stop are ignored without a word.
  engine.setUserSession('{"late":true}');
  assert.equal(engine.getSyncStatus(), '{}');
  const log = env.readLog();
  assert.match(log, /Main::runMain: app is not running -> starting/);
  assert.match(log, /CApplication::aboutToQuitSlot: shutting down flag: true/);
  assert.match(log, /Main::runMain: application message loop finished, exitCode: 0/);
});

test('stop right after start, also of a start without callbacks, ends the engine', async () => {
  const run = startEngine(engine);
  engine.stop();
  await run.finished;
  assert.equal(run.calls.finished, 1);
  assert.equal(engine.isRunning(), false);

  engine.start();
  await waitFor(() => engine.isRunning(), 10000, 'the engine to run');
  engine.stop();
  assert.equal(engine.isRunning(), false);
  // The next start waits for that engine to be gone and then works normally.
  await runEngine(engine);
});

test('an engine that ends on its own says why, and a later start works', async () => {
  const unblock = env.blockDatabase();
  try {
    const run = startEngine(engine);
    await run.finished;
    assert.match(run.calls.failure, /the sync database .*bxsync\.db cannot be opened/);
    assert.equal(engine.isRunning(), false);
    assert.equal(engine.getSyncStatus(), '{}');
    assert.equal(engine.getSyncedItemPath('1', '2'), '');
    engine.setUserSession('{}');
  } finally {
    unblock();
  }
  assert.equal((await runEngine(engine)).calls.failure, undefined);
});

test('a host that exits without stop() does not hang', () => {
  const script = `
    const engine = require(${JSON.stringify(addonPath())});
    engine.start(() => {}, (p) => { if (p === undefined) setTimeout(() => process.exit(7), 20); });`;
  const { status } = spawnSync(process.execPath, ['-e', script], { env: process.env, stdio: 'ignore', timeout: 20000, killSignal: 'SIGKILL' });
  assert.equal(status, 7);
});
