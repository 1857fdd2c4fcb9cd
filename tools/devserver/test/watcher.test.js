'use strict';

const { describe, it, before } = require('node:test');
const assert = require('node:assert/strict');
const { makeLibrary, errorName, takeViolations, useServer } = require('../testing');

describe('Watcher.watch', () => {
  let server;
  let one;
  let two;
  const watchItem = async (lib) => {
    const token = await server.app.call('FileSync.getWatcherAuthenticationToken', { tenantId: lib.tenantId, id: lib.id });
    return { state: token.state, wat: token.wat, itemId: lib.id, tenantId: lib.tenantId };
  };
  const changed = (...libs) => libs.map((lib) => ({ itemId: lib.id, tenantId: lib.tenantId }));
  // The answer and how long it took.
  const timedWatch = async (items) => {
    const started = Date.now();
    const res = await server.app.watch(items);
    return [res.json.result.changedItemsList, Date.now() - started];
  };
  useServer({ server: { holdMs: 400 }, library: { files: { 'a.txt': 'a' } } }, (made) => ({ server, lib: one } = made));
  before(async () => { two = await makeLibrary(server); });

  // How long an unchanged call is held, and its early end, are the engine watcher suite's to see.
  it('answers at once when a watched library has moved on', async () => {
    const items = [await watchItem(one), await watchItem(two)];
    await server.admin.mkdir(one.tenantId, one.id, 'new folder');
    const [list, waited] = await timedWatch(items);
    assert.ok(waited < 300, `waited ${waited} ms`);
    assert.deepEqual(list, changed(one));
  });

  it('refuses a wrong, foreign or revoked watcher token with AccessDenied', async () => {
    const item = await watchItem(one);
    const refusal = async (items) => errorName(await server.app.watch(items));
    assert.equal(await refusal([{ ...item, wat: 'forged' }]), 'api.exceptions.AccessDenied');
    assert.equal(await refusal([{ ...item, itemId: two.id, tenantId: two.tenantId }]), 'api.exceptions.AccessDenied');
    await server.admin.revokeWats(one.tenantId, one.id);
    assert.equal(await refusal([item]), 'api.exceptions.AccessDenied');
    const fresh = await watchItem(one);
    assert.notEqual(fresh.wat, item.wat);
    assert.equal(await refusal([fresh]), null);
  });

  it('needs no bearer token but a well-formed call', async () => {
    const item = await watchItem(two);
    const numeric = { state: item.state, watcherAuthenticationToken: item.wat, id: { itemId: Number(item.itemId), tenantId: item.tenantId } };
    assert.equal(errorName(await server.app.rpc('Watcher.watch', { watchItems: [numeric] })), 'api.exceptions.InvalidParameters');
    assert.equal(errorName(await server.app.rpc('Watcher.watch', { watchItems: [] })), 'api.exceptions.InvalidParameters');
    assert.equal(errorName(await server.app.watch([item], { tenantId: item.tenantId })), 'api.exceptions.InvalidRequest');
    assert.equal((await takeViolations(server)).length, 3);
  });

  it('reports a deleted library as changed', async () => {
    const gone = await makeLibrary(server);
    const item = await watchItem(gone);
    await server.admin.deleteLibrary(gone.tenantId, gone.id);
    assert.deepEqual((await timedWatch([item]))[0], changed(gone));
  });
});
