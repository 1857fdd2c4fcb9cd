#!/usr/bin/env node
'use strict';

const { startDevServer } = require('./server');

const USAGE = 'usage: node tools/devserver/cli.js --data DIR [--port N] [--host 127.0.0.1] [--seed demo] [--hold-ms N] [--quiet]';

function parseArgs(argv) {
  const opts = {};
  const takesValue = { '--data': 'dataDir', '--port': 'port', '--host': 'host', '--seed': 'seed', '--hold-ms': 'holdMs' };
  for (let i = 0; i < argv.length; i += 1) {
    const arg = argv[i];
    if (arg === '--quiet') {
      opts.quiet = true;
    } else if (arg === '--help' || arg === '-h') {
      return { help: true };
    } else if (takesValue[arg]) {
      const value = argv[i + 1];
      if (value === undefined) return { error: `${arg} needs a value` };
      opts[takesValue[arg]] = value;
      i += 1;
    } else {
      return { error: `unknown argument ${JSON.stringify(arg)}` };
    }
  }
  if (!opts.dataDir) return { error: '--data DIR is required' };
  for (const key of ['port', 'holdMs']) {
    if (opts[key] === undefined) continue;
    if (!/^\d+$/.test(opts[key])) return { error: `${key === 'port' ? '--port' : '--hold-ms'} must be a whole number` };
    opts[key] = Number(opts[key]);
  }
  if (opts.port !== undefined && opts.port > 65535) return { error: '--port must be at most 65535' };
  return { opts };
}

async function main() {
  const parsed = parseArgs(process.argv.slice(2));
  if (parsed.help) {
    process.stdout.write(`${USAGE}\n`);
    return;
  }
  if (parsed.error) {
    process.stderr.write(`devserver: ${parsed.error}\n${USAGE}\n`);
    process.exitCode = 2;
    return;
  }
  // Anything that slips through the request handlers is logged, never fatal.
  process.on('uncaughtException', (err) => process.stderr.write(`devserver: uncaught: ${err.stack || err}\n`));
  process.on('unhandledRejection', (err) => process.stderr.write(`devserver: unhandled: ${err && err.stack ? err.stack : err}\n`));

  const server = await startDevServer(parsed.opts);
  if (server.error) {
    process.stderr.write(`devserver: ${server.error}\n`);
    process.exitCode = 1;
    return;
  }
  const { url, hostname, port, caFile, adminUrl, token, adminToken } = server.info;
  process.stdout.write(`${JSON.stringify({ url, hostname, port, caFile, adminUrl, token, adminToken })}\n`);
  let stopping = false;
  const stop = (signal) => {
    if (stopping) return;
    stopping = true;
    server.log(`${signal} received, stopping`);
    server.stop().then(() => process.exit(0));
  };
  process.on('SIGTERM', () => stop('SIGTERM'));
  process.on('SIGINT', () => stop('SIGINT'));
}

main();
