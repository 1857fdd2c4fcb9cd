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
  --json                  print each progress report as it arrived, one JSON object per line;
                          the host's own messages go to stderr
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
        json: { type: 'boolean', default: false },
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
    json: o.json,
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

const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
function formatBytes(n) {
  let value = Number(n) || 0;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${value} B` : `${value.toFixed(1)} ${units[unit]}`;
}

const arrow = (file) => (file.status && file.status.type === 'upload' ? '↑' : '↓');
const fileName = (file) => String((file.info && file.info.fileName) || '(unnamed)');

// A report from the engine, or null (with the reason) when the text is no report.
function parseReport(text) {
  let report;
  try {
    report = JSON.parse(text);
  } catch (err) {
    return { report: null, reason: `not JSON (${err.message})` };
  }
  if (report === null || typeof report !== 'object' || Array.isArray(report))
    return { report: null, reason: 'not a JSON object' };
  if (!Array.isArray(report.files)) report.files = [];
  report.files = report.files.filter((f) => f && typeof f === 'object');
  return { report, reason: null };
}

// Lines that scroll above the status area: each file that finished, with its error if any.
function finishedLines(report) {
  const lines = [];
  for (const file of report.files) {
    const status = file.status || {};
    if (!status.finished) continue;
    const done = status.type === 'upload' ? 'uploaded' : 'downloaded';
    if (status.error === undefined) lines.push(`${fileName(file)} ${arrow(file)} ${done}`);
    else if (typeof status.error === 'string') lines.push(`${fileName(file)} ${arrow(file)} ${status.error}`);
    else lines.push(`${fileName(file)} ${arrow(file)} failed`);
  }
  return lines;
}

const transferring = (report) => report.files.filter((f) => !(f.status && f.status.finished));
const isIdle = (report) => !(Number(report.itemsToGo) > 0) && transferring(report).length === 0;

function percent(file) {
  const p = Number(file.status && file.status.progress);
  return `${Math.floor((Number.isFinite(p) ? Math.min(Math.max(p, 0), 1) : 0) * 100)}%`;
}

function summaryLine(report) {
  if (isIdle(report)) return 'up to date';
  // The counts can be up to a second older than the files in transfer.
  const items = Math.max(Number(report.itemsToGo) || 0, transferring(report).length);
  return `${items} item${items === 1 ? '' : 's'} to go, ${formatBytes(report.bytesToDownload)} to download, ` +
    `${formatBytes(report.bytesToUpload)} to upload`;
}

// The live status area: the summary, then one line per file in transfer.
function statusLines(report) {
  return [summaryLine(report), ...transferring(report).map((f) => `  ${fileName(f)} ${arrow(f)} ${percent(f)}`)];
}

// One plain line per report, for logs and pipes.
function plainLine(report) {
  const files = transferring(report).map((f) => `${fileName(f)} ${arrow(f)} ${percent(f)}`);
  return files.length ? `${summaryLine(report)}; ${files.join(', ')}` : summaryLine(report);
}

// Where reports and the host's own messages go: a redrawn area on a terminal, plain lines
// elsewhere, or the reports as they came (messages then go to stderr, so stdout stays parseable).
class ProgressView {
  constructor({ out, err, mode }) {
    this.out = out;
    this.err = err;
    this.mode = mode; // 'live', 'plain', 'json' or 'quiet'
    this.area = [];
    this.drawn = 0;
  }
  static modeFor(options, stream) {
    if (options.json) return 'json';
    if (options.quiet) return 'quiet';
    return stream.isTTY ? 'live' : 'plain';
  }
  say(text) {
    if (this.mode === 'json') {
      this.err.write(`${text}\n`);
      return;
    }
    this.redraw([text]);
  }
  report(text) {
    if (this.mode === 'json') {
      this.out.write(`${String(text).replace(/\n/g, ' ')}\n`);
      return;
    }
    if (this.mode === 'quiet') return;
    const { report, reason } = parseReport(text);
    if (!report) {
      this.say(`bxsync: warning: a progress report was ${reason}; ignored`);
      return;
    }
    if (this.mode === 'plain') {
      for (const line of finishedLines(report)) this.out.write(`${line}\n`);
      this.out.write(`${plainLine(report)}\n`);
      return;
    }
    this.area = statusLines(report);
    this.redraw(finishedLines(report));
  }
  // Scrolled lines go above the area, which is then drawn again below them.
  redraw(scrolled) {
    if (this.mode !== 'live') {
      for (const line of scrolled) this.out.write(`${line}\n`);
      return;
    }
    const width = Math.max((this.out.columns || 100) - 1, 20);
    const fit = (line) => (line.length > width ? `${line.slice(0, width - 1)}…` : line);
    let text = this.drawn ? `\x1b[${this.drawn}F\x1b[J` : '';
    for (const line of scrolled) text += `${line}\n`;
    for (const line of this.area) text += `${fit(line)}\n`;
    this.drawn = this.area.length;
    this.out.write(text);
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

  const line = new ProgressView({ out: process.stdout, err: process.stderr,
    mode: ProgressView.modeFor(options, process.stdout) });
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
    // The engine takes setters only once it is initialised, which its first callback of either
    // kind proves. A report pending together with the first session request arrives in its
    // place, so the first report stands for that request.
    if (progress === undefined || sessionRequests === 0) onSessionRequest();
    if (progress !== undefined) line.report(progress);
  });
  line.say(`bxsync: engine started (${options.addon})`);

  process.on('SIGINT', () => (stopping ? process.exit(130) : stop('interrupted')));
  process.on('SIGTERM', () => stop('terminated'));
  if (options.duration !== null) setTimeout(() => stop(`ran for ${options.duration} s`), options.duration * 1000);
}

module.exports = { parseOptions, UsageError, ProgressView, statusLines, plainLine, finishedLines, formatBytes };

if (require.main === module) main(process.argv.slice(2));
