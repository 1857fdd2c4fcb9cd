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
  useServer({ server: { holdMs: 400 }, library: { files: { 'a.txt': 'a' } } }, (made) => ({ server, lib: one } = made));
  before(async () => { two = await makeLibrary(server); });

  it('answers at once when a watched library has moved on', async () => {
    const item = await watchItem(one);
    const other = await watchItem(two);
    await server.admin.mkdir(one.tenantId, one.id, 'new folder');
    const started = Date.now();
    const res = await server.app.watch([item, other]);
    assert.ok(Date.now() - started < 300);
    assert.deepEqual(res.json.result.changedItemsList, [{ itemId: one.id, tenantId: one.tenantId }]);
  });

  it('holds the call until the hold time passes, then answers an empty list', async () => {
    const started = Date.now();
    const res = await server.app.watch([await watchItem(one), await watchItem(two)]);
    const waited = Date.now() - started;
    assert.ok(waited >= 380 && waited < 2000, `waited ${waited} ms`);
    assert.deepEqual(res.json.result.changedItemsList, []);
  });

  it('returns early when a change lands while the call is held', async () => {
    await server.admin.setSettings({ holdMs: 10000 });
    try {
      const item = await watchItem(two);
      const started = Date.now();
      const pending = server.app.watch([await watchItem(one), item]);
      setTimeout(() => server.admin.putFile(two.tenantId, two.id, 'late.txt', 'x'), 150);
      const res = await pending;
      assert.ok(Date.now() - started < 3000);
      assert.deepEqual(res.json.result.changedItemsList, [{ itemId: two.id, tenantId: two.tenantId }]);
    } finally {
      await server.admin.setSettings({ holdMs: 400 });
    }
  });

  it('refuses a wrong, foreign or revoked watcher token with AccessDenied', async () => {
    const item = await watchItem(one);
    const bad = await server.app.watch([{ ...item, wat: 'forged' }]);
    assert.equal(errorName(bad), 'api.exceptions.AccessDenied');
    const foreign = await server.app.watch([{ ...item, itemId: two.id, tenantId: two.tenantId }]);
    assert.equal(errorName(foreign), 'api.exceptions.AccessDenied');
    await server.admin.revokeWats(one.tenantId, one.id);
    assert.equal(errorName(await server.app.watch([item])), 'api.exceptions.AccessDenied');
    const fresh = await watchItem(one);
    assert.notEqual(fresh.wat, item.wat);
    assert.equal(errorName(await server.app.watch([fresh])), null);
  });

  it('needs no bearer token but a well-formed call', async () => {
    const item = await watchItem(two);
    const numeric = await server.app.rpc('Watcher.watch', {
      watchItems: [{ state: item.state, watcherAuthenticationToken: item.wat, id: { itemId: Number(item.itemId), tenantId: item.tenantId } }],
    });
    assert.equal(errorName(numeric), 'api.exceptions.InvalidParameters');
    assert.equal(errorName(await server.app.rpc('Watcher.watch', { watchItems: [] })), 'api.exceptions.InvalidParameters');
    const withTenant = await server.app.watch([item], { tenantId: item.tenantId });
    assert.equal(errorName(withTenant), 'api.exceptions.InvalidRequest');
    assert.equal((await takeViolations(server)).length, 3);
  });

  it('reports a deleted library as changed', async () => {
    const gone = await makeLibrary(server);
    const item = await watchItem(gone);
    await server.admin.deleteLibrary(gone.tenantId, gone.id);
    const res = await server.app.watch([item]);
    assert.deepEqual(res.json.result.changedItemsList, [{ itemId: gone.id, tenantId: gone.tenantId }]);
  });
});
