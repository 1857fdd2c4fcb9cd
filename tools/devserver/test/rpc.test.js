'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { errorName, takeViolations, useServer } = require('../testing');

describe('JSON-RPC envelope, URL and authentication', () => {
  let server;
  let lib;
  useServer({ library: {} }, (made) => ({ server, lib } = made));

  const hierarchyParams = () => ({ tenantId: lib.tenantId, id: lib.id });

  it('refuses malformed envelopes with the matching error and code', async () => {
    const { app } = server;
    const cases = [
      ['not JSON', { body: '{"jsonrpc":' }, 'api.exceptions.ParseError', -32700],
      ['batch', { body: '[]' }, 'api.exceptions.InvalidRequest', -32600],
      ['wrong version', { envelope: { jsonrpc: '1.0', id: 1, method: 'FileSync.getHierarchy', params: hierarchyParams() } }, 'api.exceptions.InvalidRequest', -32600],
      ['missing id', { envelope: { jsonrpc: '2.0', method: 'FileSync.getHierarchy', params: hierarchyParams() } }, 'api.exceptions.InvalidRequest', -32600],
      ['URL method differs', { urlMethod: 'FileSync.getFile' }, 'api.exceptions.InvalidRequest', -32600],
      ['no tenant in URL', { tenantId: null }, 'api.exceptions.InvalidRequest', -32600],
      ['tenant in URL differs', { tenantId: 'someone-else' }, 'api.exceptions.InvalidParameters', -32602],
      ['wrong content type', { headers: { 'content-type': 'text/plain' } }, 'api.exceptions.InvalidRequest', -32600],
    ];
    for (const [name, opts, fullName, code] of cases) {
      const res = await app.rpc('FileSync.getHierarchy', hierarchyParams(), opts);
      assert.equal(res.status, 200, name);
      assert.equal(errorName(res), fullName, name);
      assert.equal(res.json.error.code, code, name);
      assert.ok(res.json.error.message.length > 0, name);
    }
    assert.equal((await takeViolations(server)).length, cases.length);
  });

  it('answers every recorded violation with an error', async () => {
    const { app } = server;
    const item = async () => {
      const token = await app.call('FileSync.getWatcherAuthenticationToken', hierarchyParams());
      return { state: token.state, wat: token.wat, itemId: lib.id, tenantId: lib.tenantId };
    };
    const rpc = (opts, params = hierarchyParams()) => () => app.rpc('FileSync.getHierarchy', params, opts);
    const cases = [
      ['wrong Accept', rpc({ headers: { accept: 'text/html' } }), 'api.exceptions.InvalidRequest'],
      ['extra envelope member', rpc({ envelope: { jsonrpc: '2.0', id: 7, method: 'FileSync.getHierarchy', params: hierarchyParams(), debug: true } }), 'api.exceptions.InvalidRequest'],
      ['unexpected query parameter', rpc({ query: { verbose: '1' } }), 'api.exceptions.InvalidRequest'],
      ['unexpected param', rpc({}, { ...hierarchyParams(), depth: '3' }), 'api.exceptions.InvalidParameters'],
      ['wrong Host header', rpc({ headers: { host: 'localhost:1' } }), 400],
      ['bearer token to the watcher', async () => app.watch([await item()], { token: server.token }), 400],
    ];
    for (const [name, send, expected] of cases) {
      const res = await send();
      if (typeof expected === 'number') assert.equal(res.status, expected, name);
      else assert.equal(errorName(res), expected, name);
    }
    assert.equal((await takeViolations(server)).length, cases.length);
  });

  it('checks params: decimal strings, presence, method names', async () => {
    const { app } = server;
    const asNumber = await app.rpc('FileSync.getHierarchy', { tenantId: lib.tenantId, id: Number(lib.id) });
    assert.equal(errorName(asNumber), 'api.exceptions.InvalidParameters');
    assert.match(asNumber.json.error.message, /decimal string/);
    const missing = await app.rpc('FileSync.getHierarchy', { tenantId: lib.tenantId });
    assert.equal(errorName(missing), 'api.exceptions.InvalidParameters');
    const unknown = await app.rpc('FileSync.format', { tenantId: lib.tenantId });
    assert.equal(errorName(unknown), 'api.exceptions.MethodNotFound');
    const wrongEndpoint = await app.rpc('Watcher.watch', { watchItems: [] }, { body: JSON.stringify({ jsonrpc: '2.0', id: 3, method: 'FileSync.getHierarchy', params: hierarchyParams() }), urlMethod: 'FileSync.getHierarchy' });
    assert.equal(errorName(wrongEndpoint), 'api.exceptions.MethodNotFound');
    const echoed = await app.rpc('FileSync.getHierarchy', hierarchyParams(), { id: 'abc' });
    assert.equal(echoed.json.id, 'abc');
    assert.equal((await takeViolations(server)).length, 4);
  });

  it('answers 401 to a missing, unknown, expired or revoked token', async () => {
    const { app, admin } = server;
    const expired = await admin.issueToken({});
    const revoked = await admin.issueToken({});
    await admin.expireToken(expired.token);
    await admin.revokeToken(revoked.token);
    for (const token of [null, 'not-a-token', expired.token, revoked.token]) {
      const res = await app.rpc('FileSync.getHierarchy', hierarchyParams(), { token });
      assert.equal(res.status, 401, String(token));
      assert.match(res.headers['www-authenticate'], /^Bearer/);
    }
    const fresh = await admin.issueToken({ ttlMs: 60000 });
    assert.equal((await app.rpc('FileSync.getHierarchy', hierarchyParams(), { token: fresh.token })).status, 200);
  });
});

describe('modifying methods and state identifiers', () => {
  let server;
  let lib;
  useServer({ library: { files: { 'A/a1.txt': 'one', 'A/a2.txt': 'two', 'B/b1.txt': 'three' } } }, (made) => ({ server, lib } = made));

  it('mkDir creates, changes the state, and reports an existing folder with its id', async () => {
    const { app } = server;
    const before = await lib.state();
    const made = await app.call('FileSync.mkDir', await lib.params({ folderName: 'C', parentId: lib.id }));
    assert.match(made.newFolderId, /^\d+$/);
    assert.notEqual(made.newState, before);
    assert.equal(made.newState, await lib.state());

    const again = await app.rpc('FileSync.mkDir', await lib.params({ folderName: 'c', parentId: lib.id }));
    assert.equal(errorName(again), 'brindlex.AlreadyExists');
    assert.equal(again.json.error.data.newFolderId, made.newFolderId);
    assert.equal(again.json.result.newFolderId, made.newFolderId);

    const stale = await app.rpc('FileSync.mkDir', { tenantId: lib.tenantId, id: lib.id, state: before, folderName: 'D', parentId: lib.id });
    assert.equal(errorName(stale), 'brindlex.StateOutOfDate');
    const noParent = await app.rpc('FileSync.mkDir', await lib.params({ folderName: 'D', parentId: '999999' }));
    assert.equal(errorName(noParent), 'brindlex.ItemNotFound');
    const badName = await app.rpc('FileSync.mkDir', await lib.params({ folderName: 'x/y', parentId: lib.id }));
    assert.equal(errorName(badName), 'api.exceptions.InvalidParameters');
  });

  it('rename and move keep names unique per folder', async () => {
    const { app } = server;
    const a1 = await lib.item('A/a1.txt');
    const b = await lib.item('B');
    const taken = await app.rpc('FileSync.rename', await lib.params({ fileId: a1.id, newName: 'A2.TXT' }));
    assert.equal(errorName(taken), 'brindlex.AlreadyExists');
    await app.call('FileSync.rename', await lib.params({ fileId: a1.id, newName: 'A1.txt' }));
    assert.ok(await lib.item('A/A1.txt'), 'a change of letter case is a rename of the same item');

    const moved = await app.call('FileSync.move', await lib.params({ fileId: a1.id, newParentId: b.id }));
    assert.equal(moved.newState, await lib.state());
    assert.ok(await lib.item('B/A1.txt'));
    const a = await lib.item('A');
    const intoItself = await app.rpc('FileSync.move', await lib.params({ fileId: a.id, newParentId: a.id }));
    assert.equal(errorName(intoItself), 'brindlex.CannotMoveToItself');
    const a2 = await lib.item('A/a2.txt');
    await app.call('FileSync.rename', await lib.params({ fileId: a2.id, newName: 'A1.txt' }));
    const clash = await app.rpc('FileSync.move', await lib.params({ fileId: a2.id, newParentId: b.id }));
    assert.equal(errorName(clash), 'brindlex.AlreadyExists');
  });

  it('removeFile checks the file state; rmDir removes the whole folder', async () => {
    const { app } = server;
    const b1 = await lib.item('B/b1.txt');
    const stale = await app.rpc('FileSync.removeFile', await lib.params({ fileId: b1.id, fileState: 'old' }));
    assert.equal(errorName(stale), 'brindlex.StateOutOfDate');
    await app.call('FileSync.removeFile', await lib.params({ fileId: b1.id, fileState: b1.state }));
    assert.equal(await lib.item('B/b1.txt'), null);
    const gone = await app.rpc('FileSync.removeFile', await lib.params({ fileId: b1.id, fileState: b1.state }));
    assert.equal(errorName(gone), 'brindlex.ItemNotFound');

    const b = await lib.item('B');
    await app.call('FileSync.rmDir', await lib.params({ folderId: b.id }));
    const paths = (await server.admin.tree(lib.tenantId, lib.id)).map((i) => i.path);
    assert.ok(!paths.some((p) => p.startsWith('B')), paths.join(','));
    const root = await app.rpc('FileSync.rmDir', await lib.params({ folderId: lib.id }));
    assert.equal(errorName(root), 'brindlex.NotPermitted');
  });

  it('names the unknown tenant and the unknown library', async () => {
    const { app } = server;
    const tenant = await app.rpc('FileSync.getHierarchy', { tenantId: 'nobody', id: lib.id });
    assert.equal(errorName(tenant), 'brindlex.TenantNotFound');
    assert.equal(tenant.json.error.code, 7000);
    const library = await app.rpc('FileSync.getHierarchy', { tenantId: lib.tenantId, id: '424242' });
    assert.equal(errorName(library), 'brindlex.ItemNotFound');
  });
});

describe('read methods, roles and quota', () => {
  let server;
  let lib;
  useServer({ library: { files: { 'doc.txt': 'hello', 'sub/big.bin': { size: 1000 } } } }, (made) => ({ server, lib } = made));

  it('getRole, getFile and getWatcherAuthenticationToken answer the fields the engine reads', async () => {
    const { app } = server;
    const doc = await lib.item('doc.txt');
    assert.deepEqual(await app.call('Items.getRole', { tenantId: lib.tenantId, itemId: lib.id }, { tenantId: null }), { role: 'Admin' });
    assert.deepEqual(await app.call('Items.getRole', { tenantId: lib.tenantId, itemId: doc.id }), { role: 'Admin' });
    assert.equal(errorName(await app.rpc('Items.getRole', { tenantId: lib.tenantId, itemId: '1' })), 'brindlex.ItemNotFound');

    const { file } = await app.call('FileSync.getFile', { tenantId: lib.tenantId, fileId: doc.id });
    assert.deepEqual(
      { id: file.id, state: file.state, name: file.name, fileSize: file.fileSize, contentHash: file.contentHash },
      { id: doc.id, state: doc.state, name: 'doc.txt', fileSize: 5, contentHash: 'aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d' },
    );
    assert.match(file.modifiedTime, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
    const sub = await lib.item('sub');
    assert.equal(errorName(await app.rpc('FileSync.getFile', { tenantId: lib.tenantId, fileId: sub.id })), 'brindlex.ItemNotFound', 'a folder is no file');
    assert.equal(errorName(await app.rpc('FileSync.getWatcherAuthenticationToken', { tenantId: lib.tenantId, id: sub.id })), 'brindlex.ItemNotFound');

    const wat = await app.call('FileSync.getWatcherAuthenticationToken', { tenantId: lib.tenantId, id: lib.id });
    assert.equal(wat.state, await lib.state());
    assert.equal(wat.tenantId, lib.tenantId);
    assert.equal(wat.watcherHostname, server.hostname);
    assert.equal(typeof wat.changedId, 'number');
    assert.ok(wat.wat.length >= 16);
  });

  it('enforces roles: Reader reads, None sees nothing, only Editor and Admin change', async () => {
    const { app, admin } = server;
    await admin.setRole(lib.tenantId, lib.id, 'Reader');
    const denied = await app.rpc('FileSync.mkDir', await lib.params({ folderName: 'X', parentId: lib.id }));
    assert.equal(errorName(denied), 'api.exceptions.AccessDenied');
    assert.equal(denied.json.error.code, 1004);
    await app.call('FileSync.getHierarchy', { tenantId: lib.tenantId, id: lib.id });

    await admin.setRole(lib.tenantId, lib.id, 'None');
    assert.equal(errorName(await app.rpc('FileSync.getHierarchy', { tenantId: lib.tenantId, id: lib.id })), 'api.exceptions.AccessDenied');
    assert.deepEqual(await app.call('Items.getRole', { tenantId: lib.tenantId, itemId: lib.id }), { role: 'None' });

    await admin.setRole(lib.tenantId, lib.id, 'Editor', 'demo.user');
    await app.call('FileSync.mkDir', await lib.params({ folderName: 'X', parentId: lib.id }));
    await admin.setRole(lib.tenantId, lib.id, 'Admin');
    await admin.setRole(lib.tenantId, lib.id, 'Admin', 'demo.user');
  });

  it('checks quota and conflicts in canCreateFile and canUpdateFile', async () => {
    const { app, admin } = server;
    const big = await lib.item('sub/big.bin');
    await admin.setQuota(lib.tenantId, 1205); // 1005 used
    const create = async (size, extra = {}) => app.rpc('FileSync.canCreateFile', await lib.params({
      parentId: lib.id, filename: 'new.bin', fileSize: String(size), conflictPolicy: 'RENAME_ON_CONFLICT', ...extra,
    }));
    assert.deepEqual((await create(200)).json.result, {});
    assert.equal(errorName(await create(201)), 'brindlex.QuotaExceeded');
    assert.equal(errorName(await create(1, { filename: 'doc.txt', conflictPolicy: 'ERROR_ON_CONFLICT' })), 'brindlex.AlreadyExists');
    assert.equal(errorName(await create(1, { fileSize: 5 })), 'api.exceptions.InvalidParameters');
    assert.equal(errorName(await create(1, { conflictPolicy: 'OVERWRITE' })), 'api.exceptions.InvalidParameters');
    assert.equal((await takeViolations(server)).length, 2);

    const update = async (size, fileState, policy = 'RENAME_ON_CONFLICT') => app.rpc('FileSync.canUpdateFile', await lib.params({
      fileId: big.id, fileState, fileSize: String(size), conflictPolicy: policy,
    }));
    assert.equal(errorName(await update(1200, big.state)), null, 'replacing 1000 bytes with 1200 fits');
    assert.equal(errorName(await update(1201, big.state)), 'brindlex.QuotaExceeded');
    assert.equal(errorName(await update(10, 'old')), null, 'an outdated update becomes a copy under this policy');
    assert.equal(errorName(await update(10, 'old', 'ERROR_ON_CONFLICT')), 'brindlex.StateOutOfDate');
    assert.equal(errorName(await app.rpc('FileSync.mkDir', await lib.params({ folderName: 'Q', parentId: lib.id }))), null);
    await admin.setQuota(lib.tenantId, 100);
    assert.equal(errorName(await app.rpc('FileSync.mkDir', await lib.params({ folderName: 'R', parentId: lib.id }))), 'brindlex.QuotaExceeded');
    await admin.setQuota(lib.tenantId, null);
  });
});
