#!/usr/bin/env node
'use strict';
// A small command-line host for the bx_sync engine: loads the add-on, answers the engine's
// session requests from a file or a command, hands it the file-library list, shows progress,
// and stops the engine cleanly on Ctrl-C or SIGTERM.

const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { parseArgs } = require('node:util');

const USAGE = `usage: bxsync.js --session FILE | --session-command CMD [options]

  --session FILE          user-session JSON handed to the engine on every session request
  --session-command CMD   run CMD (through /bin/sh) and hand its output over instead
  --libraries FILE        file-library JSON array to synchronise
  --instance-guid GUID    this installation's GUID
  --duration SECONDS      stop by itself after SECONDS (default: run until Ctrl-C)
  --addon PATH            the add-on to load (default: build/bx_sync.node of this checkout)
  --quiet                 no progress output
  -h, --help              this text`;

class UsageError extends Error {}

function parseOptions(argv) {
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      options: {
        session: { type: 'string' },
        'session-command': { type: 'string' },
        libraries: { type: 'string' },
        'instance-guid': { type: 'string' },
        duration: { type: 'string' },
        addon: { type: 'string' },
        quiet: { type: 'boolean', default: false },
        help: { type: 'boolean', short: 'h', default: false },
      },
      strict: true,
      allowPositionals: false,
    });
  } catch (err) {
    throw new UsageError(err.message);
  }
  const o = parsed.values;
  if (o.help) return { help: true };
  if (!o.session === !o['session-command'])
    throw new UsageError('give exactly one of --session FILE and --session-command CMD');
  let duration = null;
  if (o.duration !== undefined) {
    duration = Number(o.duration);
    if (!Number.isFinite(duration) || duration <= 0)
      throw new UsageError(`--duration wants a positive number of seconds, not "${o.duration}"`);
  }
  return {
    sessionFile: o.session ? path.resolve(o.session) : null,
    sessionCommand: o['session-command'] || null,
    librariesFile: o.libraries ? path.resolve(o.libraries) : null,
    instanceGuid: o['instance-guid'] || null,
    duration,
    addon: path.resolve(o.addon || path.join(__dirname, '..', 'build', 'bx_sync.node')),
    quiet: o.quiet,
  };
}

// Reads a JSON file the engine will get as text; the engine copes with bad JSON, but a file the
// user cannot even read is a mistake worth stopping for at start.
function readJsonText(file, what) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (err) {
    throw new UsageError(`cannot read the ${what} file ${file}: ${err.code || err.message}`);
  }
  try {
    JSON.parse(text);
  } catch (err) {
    process.stderr.write(`bxsync: warning: the ${what} file ${file} is not valid JSON (${err.message}); passing it on as it is\n`);
  }
  return text;
}

function readSession(options) {
  if (options.sessionFile) return readJsonText(options.sessionFile, 'session');
  try {
    return execFileSync('/bin/sh', ['-c', options.sessionCommand], { encoding: 'utf8', timeout: 30000 }).trim();
  } catch (err) {
    throw new UsageError(`the session command failed: ${err.message.split('\n')[0]}`);
  }
}

// Progress reports are one JSON object; show the useful part in one line.
function describeProgress(text) {
  let report;
  try {
    report = JSON.parse(text);
  } catch {
    return text;
  }
  if (report === null || typeof report !== 'object') return text;
  const parts = [];
  for (const [key, value] of Object.entries(report)) {
    if (value === null || typeof value === 'object') continue;
    parts.push(`${key}=${value}`);
  }
  return parts.length ? parts.join(' ') : text;
}

class ProgressLine {
  constructor(stream, quiet) {
    this.stream = stream;
    this.quiet = quiet;
    this.live = Boolean(stream.isTTY);
    this.open = false;
  }
  show(text) {
    if (this.quiet) return;
    if (this.live) {
      const width = this.stream.columns || 100;
      this.stream.write(`\r\x1b[2K${text.slice(0, width - 1)}`);
      this.open = true;
    } else {
      this.stream.write(`${text}\n`);
    }
  }
  say(text) {
    if (this.open) {
      this.stream.write('\r\x1b[2K');
      this.open = false;
    }
    this.stream.write(`${text}\n`);
  }
}

function main(argv) {
  let options;
  try {
    options = parseOptions(argv);
    if (options.help) {
      process.stdout.write(`${USAGE}\n`);
      return;
    }
    // Fail early on files that cannot be read, before an engine is running.
    readSession(options);
    if (options.librariesFile) readJsonText(options.librariesFile, 'file-library');
  } catch (err) {
    if (err instanceof UsageError) {
      process.stderr.write(`bxsync: ${err.message}\n${USAGE}\n`);
      process.exitCode = 2;
      return;
    }
    throw err;
  }

  let engine;
  try {
    engine = require(options.addon);
  } catch (err) {
    process.stderr.write(`bxsync: cannot load the engine add-on ${options.addon}: ${err.message}\n` +
      'bxsync: build it first with scripts/build\n');
    process.exitCode = 2;
    return;
  }

  const line = new ProgressLine(process.stdout, options.quiet);
  let stopping = false;
  let sessionRequests = 0;

  const stop = (why) => {
    if (stopping) return;
    stopping = true;
    line.say(`bxsync: ${why}, stopping the engine...`);
    engine.stop();
  };

  const onSessionRequest = () => {
    sessionRequests += 1;
    let session;
    try {
      session = readSession(options);
    } catch (err) {
      line.say(`bxsync: warning: cannot answer the session request: ${err.message}`);
      return;
    }
    line.say(`bxsync: session request ${sessionRequests} answered`);
    // The engine takes setters only once it is initialised; its first session request marks that.
    if (sessionRequests === 1 && options.instanceGuid) engine.setInstanceGuid(options.instanceGuid);
    engine.setUserSession(session);
    if (options.librariesFile) {
      try {
        engine.setFileLibraries(readJsonText(options.librariesFile, 'file-library'));
      } catch (err) {
        line.say(`bxsync: warning: ${err.message}`);
      }
    }
  };

  engine.start((failure) => {
    if (failure !== undefined) {
      line.say(`bxsync: the engine could not start: ${failure}`);
      process.exit(1);
    }
    line.say(`bxsync: engine stopped (${sessionRequests} session request(s) answered)`);
    process.exit(0);
  }, (progress) => {
    if (progress === undefined) onSessionRequest();
    else line.show(describeProgress(progress));
  });
  line.say(`bxsync: engine started (${options.addon})`);

  process.on('SIGINT', () => (stopping ? process.exit(130) : stop('interrupted')));
  process.on('SIGTERM', () => stop('terminated'));
  if (options.duration !== null) setTimeout(() => stop(`ran for ${options.duration} s`), options.duration * 1000);
}

module.exports = { parseOptions, describeProgress, UsageError };

if (require.main === module) main(process.argv.slice(2));
