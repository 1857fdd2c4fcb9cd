'use strict';
// The reference server for the engine tests, in this process with its own data folder. Every test
// that lets the engine talk to it ends with assertNoViolations: the server answers a protocol
// violation with an error, and the engine may well take that error in its stride.

const assert = require('node:assert/strict');
const { startServer } = require('../../../tools/devserver/client');

// Seeded with the demo tenant; its session and library files are server.sessionFile and
// server.fileLibrariesFile. The engine trusts the server's CA through the environment it inherits.
async function startReferenceServer(options = {}) {
  const server = await startServer({ inProcess: true, seed: 'demo', ...options });
  process.env.BXSYNC_EXTRA_CA_CERTS = server.caFile;
  return server;
}

// Fails with every violation the server recorded, one "path method: reason" line each, then clears them.
async function assertNoViolations(server) {
  const violations = await server.admin.violations();
  await server.admin.clearViolations();
  assert.deepEqual(violations.map((v) => `${v.path} ${v.rpcMethod || ''}: ${v.reason}`), []);
}

module.exports = { startReferenceServer, assertNoViolations };
