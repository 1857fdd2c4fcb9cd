'use strict';
// Shared set-up for the add-on tests: an isolated HOME and data folder, the add-on path, and small
// promises around the engine's callbacks.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const repo = path.resolve(__dirname, '..', '..', '..');
const homes = [];
process.on('exit', () => homes.forEach((h) => fs.rmSync(h, { recursive: true, force: true })));

// Must run before the engine starts: the engine reads HOME and XDG_DATA_HOME at start.
function isolateHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'bxsync-node-'));
  homes.push(home);
  Object.assign(process.env, { HOME: home, XDG_DATA_HOME: path.join(home, '.local', 'share'),
    XDG_CONFIG_HOME: path.join(home, '.config'), XDG_CACHE_HOME: path.join(home, '.cache') });
  const dataDir = path.join(home, '.local', 'share', 'Brindlex');
  const configFile = path.join(dataDir, 'bxsync_cfg.json');
  const read = (file, parse = (t) => t, fallback = '') => {
    try { return parse(fs.readFileSync(file, 'utf8')); } catch { return fallback; }
  };
  return {
    home,
    dataDir,
    configFile,
    readLog: () => read(path.join(dataDir, 'bxsync_log.txt')),
    readConfig: () => read(configFile, JSON.parse, {}),
    // A folder where the database file belongs, so the engine cannot open it; returns the undo.
    blockDatabase() {
      const database = path.join(dataDir, 'bxsync.db');
      for (const suffix of ['', '-wal', '-shm']) fs.rmSync(database + suffix, { force: true });
      fs.mkdirSync(database, { recursive: true });
      return () => fs.rmdirSync(database);
    },
  };
}

const addonPath = (name = 'bx_sync.node') => path.join(repo, 'build', name);

// Starts the engine and records every callback; `finished` resolves when the completion
// callback has run, `calls.failure` is its argument.
function startEngine(engine) {
  const calls = { progress: [], sessionRequests: 0, finished: 0, failure: undefined };
  let resolveFinished;
  const finished = new Promise((resolve) => { resolveFinished = resolve; });
  engine.start((failure) => {
    calls.failure = failure;
    calls.finished += 1;
    resolveFinished();
  }, (...args) => {
    if (args.length === 0) calls.sessionRequests += 1;
    else calls.progress.push(args);
  });
  return { calls, finished };
}

// Starts the engine, waits for its first session request, runs the body, stops the engine and
// waits for it to finish; returns what startEngine returned.
async function runEngine(engine, body = async () => {}) {
  const run = startEngine(engine);
  try {
    await waitFor(() => run.calls.sessionRequests >= 1, 10000, 'the first session request');
    await body(run);
  } finally {
    engine.stop();
    await run.finished;
  }
  return run;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The predicate may be async: its promise is awaited, never taken as true.
async function waitFor(predicate, timeoutMs = 10000, what = 'condition') {
  const until = Date.now() + timeoutMs;
  while (!(await predicate())) {
    if (Date.now() > until) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

// Keeps the script thread busy so that engine callbacks pile up behind it.
function blockScriptThread(ms) {
  const until = Date.now() + ms;
  while (Date.now() < until) { /* busy on purpose */ }
}

module.exports = { repo, isolateHome, addonPath, startEngine, runEngine, sleep, waitFor, blockScriptThread };
