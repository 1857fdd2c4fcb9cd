'use strict';

// Shared set-up for the devserver's own tests (kept out of test/ so the
// runner does not take it for a test file).

const assert = require('node:assert/strict');
const { before, after, afterEach } = require('node:test');
const { startServer } = require('./client');

// A server in this process (cheaper than a child) with short watch holds.
function startTestServer(options = {}) {
  return startServer({ inProcess: true, holdMs: 300, ...options });
}

// A library with `files` and its current state, plus shortcuts tests use a lot.
async function makeLibrary(server, { files = {}, folders = [], tenant } = {}) {
  const made = await server.admin.setupLibrary({ files, folders, tenant });
  const tenantId = made.tenant.id;
  const libraryId = made.library.id;
  const lib = {
    tenantId,
    id: libraryId,
    teamId: made.team.id,
    state: async () => (await server.admin.library(tenantId, libraryId)).state,
    item: (p) => server.admin.findByPath(tenantId, libraryId, p),
    params: async (extra = {}) => ({ tenantId, id: libraryId, state: (await server.admin.library(tenantId, libraryId)).state, ...extra }),
  };
  return lib;
}

const errorName = (res) => (res.json && res.json.error ? res.json.error.fullName : null);

// The violations the server recorded, which it then forgets.
async function takeViolations(server) {
  const violations = await server.admin.violations();
  if (violations.length) await server.admin.clearViolations();
  return violations;
}

// Gives the enclosing suite a server of its own (and, given `library`, a library made on it),
// handed to `take` before the first test. A test that leaves a protocol violation behind fails:
// those that send bad requests on purpose take theirs with takeViolations().
function useServer({ server: options = {}, library } = {}, take = () => {}) {
  let server;
  before(async () => {
    server = await startTestServer(options);
    take({ server, lib: library ? await makeLibrary(server, library) : undefined });
  });
  after(() => server.stop());
  afterEach(async () => assert.deepEqual(await takeViolations(server), []));
}

module.exports = { startTestServer, makeLibrary, errorName, takeViolations, useServer };
