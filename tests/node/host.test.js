'use strict';
// The command-line host as a user runs it.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync, spawn } = require('node:child_process');
const { isolateHome, repo } = require('./support/engine');
const { startReferenceServer, assertNoViolations } = require('./support/server');

const env = isolateHome();
const host = path.join(repo, 'host', 'bxsync.js');
const run = (args) => spawnSync(process.execPath, [host, ...args], { env: process.env, encoding: 'utf8', timeout: 30000 });

test('bad arguments and unreadable files end with a message and code 2', () => {
  for (const args of [[], ['--bogus'], ['--session', 'a', '--session-command', 'b'], ['--session', '/nonexistent/session.json'],
    ['--session-command', 'exit 3'], ['--session', __filename, '--duration', 'soon']]) {
    const result = run(args);
    assert.equal(result.status, 2, `${args.join(' ')}: ${result.stderr}`);
    assert.match(result.stderr, /^bxsync: /, args.join(' '));
  }
  assert.equal(run(['--help']).status, 0);
});

test('a timed run answers the session request from a command and stops cleanly', () => {
  const libraries = path.join(env.home, 'libs.json');
  fs.writeFileSync(libraries, '[]');
  const result = run(['--session-command', 'echo \'{"userLoginName":"a"}\'', '--libraries', libraries, '--duration', '1',
    '--instance-guid', 'guid-from-host']);
  assert.equal(result.status, 0, result.stderr);
  assert.match(result.stdout, /session request 1 answered/);
  assert.match(result.stdout, /engine stopped/);
  const config = JSON.parse(fs.readFileSync(env.configFile, 'utf8'));
  assert.equal(config.network.instanceGuid, 'guid-from-host');
});

test('SIGTERM stops the engine and waits for it', async () => {
  fs.writeFileSync(path.join(env.home, 'session.json'), '{}');
  const child = spawn(process.execPath, [host, '--session', path.join(env.home, 'session.json')], { env: process.env });
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no session request: ${out}`)), 20000);
    child.stdout.on('data', () => { if (/session request 1 answered/.test(out)) { clearTimeout(timer); resolve(); } });
  });
  child.kill('SIGTERM');
  const code = await new Promise((resolve) => child.on('exit', resolve));
  assert.equal(code, 0);
  assert.match(out, /terminated, stopping the engine/);
  assert.match(out, /engine stopped/);
});

test('an engine that cannot initialise ends the host with code 1 and the reason', () => {
  const database = path.join(env.dataDir, 'bxsync.db');
  for (const suffix of ['', '-wal', '-shm']) fs.rmSync(database + suffix, { force: true });
  fs.mkdirSync(database, { recursive: true }); // a folder where the database file belongs
  try {
    const result = run(['--session-command', 'echo {}', '--duration', '20']);
    assert.equal(result.status, 1, result.stdout + result.stderr);
    assert.match(result.stdout, /bxsync: the engine could not start: the sync database .* cannot be opened/);
  } finally {
    fs.rmdirSync(database);
  }
});

test('a run against the reference server sends nothing it counts as a violation', async () => {
  const server = await startReferenceServer();
  try {
    const child = spawn(process.execPath, [host, '--session', server.sessionFile, '--libraries', server.fileLibrariesFile,
      '--duration', '3'], { env: process.env });
    let out = '';
    child.stdout.on('data', (d) => { out += d; });
    const code = await new Promise((resolve) => child.on('exit', resolve));
    assert.equal(code, 0, out);
    assert.match(out, /session request 1 answered/);
    await assertNoViolations(server);
  } finally {
    await server.stop();
  }
});
