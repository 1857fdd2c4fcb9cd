'use strict';
// The command-line host as a user runs it.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync, spawn } = require('node:child_process');
const { isolateHome, repo, waitFor } = require('./support/engine');

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

test('a timed --json run answers the session request from a command and stops cleanly', () => {
  const libraries = path.join(env.home, 'libs.json');
  fs.writeFileSync(libraries, '[]');
  const result = run(['--session-command', 'echo \'{"userLoginName":"a"}\'', '--libraries', libraries, '--duration', '1',
    '--instance-guid', 'guid-from-host', '--json']);
  assert.equal(result.status, 0, result.stderr);
  // No libraries, no reports: stdout stays empty, the messages go to stderr.
  assert.deepEqual([result.stdout, /session request 1 answered[^]*engine stopped/.test(result.stderr)], ['', true]);
  assert.equal(env.readConfig().network.instanceGuid, 'guid-from-host');
});

test('SIGTERM stops the engine and waits for it', async () => {
  fs.writeFileSync(path.join(env.home, 'session.json'), '{}');
  const child = spawn(process.execPath, [host, '--session', path.join(env.home, 'session.json')], { env: process.env });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  let out = '';
  child.stdout.on('data', (d) => { out += d; });
  await waitFor(() => /session request 1 answered/.test(out), 20000, 'the first session request').finally(() => child.kill('SIGTERM'));
  assert.equal(await exited, 0);
  assert.match(out, /terminated, stopping the engine[^]*engine stopped/);
});

test('an engine that cannot initialise ends the host with code 1 and the reason', () => {
  const unblock = env.blockDatabase();
  try {
    const result = run(['--session-command', 'echo {}', '--duration', '20']);
    assert.equal(result.status, 1, result.stdout + result.stderr);
    assert.match(result.stdout, /bxsync: the engine could not start: the sync database .* cannot be opened/);
  } finally {
    unblock();
  }
});

// What each kind of output makes of the same reports.
const { ProgressView } = require(host);
const sink = (isTTY = false) => ({ text: '', isTTY, columns: 60, write(s) { this.text += s; } });
const file = (name, type, progress, extra = {}) => ({ id: `{${name}}`, info: { fileName: name, tenantId: 't', parentType: 'team', parentId: 'tm' },
  status: { type, progress, ...extra } });
const reports = [
  { itemsToGo: 3, bytesToDownload: 5 * 2 ** 30 + 1, bytesToUpload: 2048, files: [file('a.pdf', 'download', 0.25), file('b.txt', 'upload', 0.99)] },
  { itemsToGo: 1, bytesToDownload: 0, bytesToUpload: 0, files: [file('a.pdf', 'download', 1, { finished: true }),
    file('q.bin', 'upload', 1, { finished: true, error: 'Quota exceeded' }), file('x', 'upload', 1, { finished: true, error: true })] },
  { itemsToGo: 0, bytesToDownload: 0, bytesToUpload: 0, files: [] },
];

test('plain output: one line per report, finished files and errors on lines of their own', () => {
  const out = sink();
  const view = new ProgressView({ out, err: sink(), mode: 'plain' });
  for (const r of reports) view.report(JSON.stringify(r));
  view.report('{"itemsToGo": 2, "files": "oops"}');
  view.report('not json');
  assert.deepEqual(out.text.trimEnd().split('\n'), [
    '3 items to go, 5.0 GiB to download, 2.0 KiB to upload; a.pdf ↓ 25%, b.txt ↑ 99%',
    'a.pdf ↓ downloaded', 'q.bin ↑ Quota exceeded', 'x ↑ failed',
    '1 item to go, 0 B to download, 0 B to upload',
    'up to date',
    '2 items to go, 0 B to download, 0 B to upload',
    'bxsync: warning: a progress report was not JSON (Unexpected token \'o\', "not json" is not valid JSON); ignored',
  ]);
});

test('json output: each report on one line as it came, messages on stderr', () => {
  const [out, err] = [sink(), sink()];
  const view = new ProgressView({ out, err, mode: 'json' });
  view.report('{"itemsToGo":\n1}');
  view.say('bxsync: note');
  assert.deepEqual([out.text, err.text], ['{"itemsToGo": 1}\n', 'bxsync: note\n']);
});

test('live output: the status area is redrawn in place, finished files scroll above it', () => {
  const out = sink(true);
  const view = new ProgressView({ out, err: sink(), mode: 'live' });
  view.report(JSON.stringify(reports[0]));
  assert.equal(out.text, '3 items to go, 5.0 GiB to download, 2.0 KiB to upload\n  a.pdf ↓ 25%\n  b.txt ↑ 99%\n');
  out.text = '';
  view.say('bxsync: session request 2 answered');
  assert.equal(out.text.split('\n')[0], '\x1b[3F\x1b[Jbxsync: session request 2 answered');
  out.text = '';
  view.report(JSON.stringify(reports[1]));
  view.report(JSON.stringify(reports[2]));
  assert.equal(out.text, '\x1b[3F\x1b[Ja.pdf ↓ downloaded\nq.bin ↑ Quota exceeded\nx ↑ failed\n1 item to go, 0 B to download, 0 B to upload\n' +
    '\x1b[1F\x1b[Jup to date\n');
});

// The host under a pseudo-terminal against the reference server.
test('against the reference server: a live status area that ends up to date', { timeout: 240000 }, async () => {
  const { startServer } = require(path.join(repo, 'tools', 'devserver', 'client.js'));
  const server = await startServer({ seed: 'demo' });
  try {
    const args = `--session ${server.sessionFile} --libraries ${server.fileLibrariesFile} --duration 15`;
    const live = spawnSync('script', ['-qfec', `"${process.execPath}" "${host}" ${args}`, '/dev/null'],
      { env: { ...process.env, BXSYNC_EXTRA_CA_CERTS: server.caFile }, encoding: 'utf8', timeout: 60000 });
    assert.equal(live.status, 0, live.stdout);
    assert.match(live.stdout, /\x1b\[\d+F\x1b\[J/, 'the area is redrawn in place');
    assert.match(live.stdout, /items? to go|↓ downloaded/); // a fast run may show only finished files
    const areas = live.stdout.split('\x1b[J').map((a) => a.replace(/\r/g, ''));
    assert.match(areas.filter((a) => /to go|up to date/.test(a)).pop(), /^up to date$/m, 'the last status area says so');
    assert.deepEqual(await server.admin.violations(), []);
  } finally {
    await server.stop();
  }
});
