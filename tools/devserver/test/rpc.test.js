'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { errorName, takeViolations, useServer } = require('../testing');

const INVALID_REQUEST = ['api.exceptions.InvalidRequest', -32600];
const INVALID_PARAMS = ['api.exceptions.InvalidParameters', -32602];
const NOT_FOUND = ['api.exceptions.MethodNotFound', -32601];

describe('JSON-RPC envelope, URL and authentication', () => {
  let server;
  let lib;
  useServer({ library: {} }, (made) => ({ server, lib } = made));

  const P = () => ({ tenantId: lib.tenantId, id: lib.id });
  const envelope = (extra) => ({ envelope: { jsonrpc: '2.0', id: 1, method: 'FileSync.getHierarchy', params: P(), ...extra } });

  it('answers every violation it records with the matching error', async () => {
    const { app } = server;
    // name, options, params (default P()), expected [fullName, code] or HTTP status, method
    const cases = [
      ['not JSON', { body: '{"jsonrpc":' }, null, ['api.exceptions.ParseError', -32700]],
      ['batch', { body: '[]' }, null, INVALID_REQUEST],
      ['wrong version', envelope({ jsonrpc: '1.0' }), null, INVALID_REQUEST],
      ['missing id', envelope({ id: undefined }), null, INVALID_REQUEST],
      ['extra envelope member', envelope({ debug: true }), null, INVALID_REQUEST],
      ['URL method differs', { urlMethod: 'FileSync.getFile' }, null, INVALID_REQUEST],
      ['no tenant in URL', { tenantId: null }, null, INVALID_REQUEST],
      ['tenant in URL differs', { tenantId: 'someone-else' }, null, INVALID_PARAMS],
      ['wrong content type', { headers: { 'content-type': 'text/plain' } }, null, INVALID_REQUEST],
      ['wrong Accept', { headers: { accept: 'text/html' } }, null, INVALID_REQUEST],
      ['unexpected query parameter', { query: { verbose: '1' } }, null, INVALID_REQUEST],
      ['unexpected param', {}, { depth: '3' }, INVALID_PARAMS],
      ['id as a number', {}, { id: 5 }, INVALID_PARAMS],
      ['id missing', {}, { id: undefined }, INVALID_PARAMS],
      ['unknown method', {}, null, NOT_FOUND, 'FileSync.format'],
      ['method of another endpoint', { body: JSON.stringify({ jsonrpc: '2.0', id: 3, method: 'FileSync.getHierarchy', params: {} }), urlMethod: 'FileSync.getHierarchy' }, null, NOT_FOUND, 'Watcher.watch'],
      ['wrong Host header', { headers: { host: 'localhost:1' } }, null, 400],
    ];
    for (const [name, opts, params, expected, method = 'FileSync.getHierarchy'] of cases) {
      const res = await app.rpc(method, JSON.parse(JSON.stringify({ ...P(), ...params })), opts);
      if (typeof expected === 'number') {
        assert.equal(res.status, expected, name);
        continue;
      }
      assert.equal(res.status, 200, name);
      assert.deepEqual([errorName(res), res.json.error.code], expected, name);
      assert.ok(res.json.error.message.length > 0, name);
    }
    const token = await app.call('FileSync.getWatcherAuthenticationToken', P());
    const toWatcher = await app.watch([{ state: token.state, wat: token.wat, itemId: lib.id, tenantId: lib.tenantId }], { token: server.token });
    assert.equal(toWatcher.status, 400, 'bearer token to the watcher');
    assert.equal((await takeViolations(server)).length, cases.length + 1);
    assert.equal((await app.rpc('FileSync.getHierarchy', P(), { id: 'abc' })).json.id, 'abc');
  });

  it('answers 401 to a missing, unknown, expired or revoked token', async () => {
    const { app, admin } = server;
    const [expired, revoked, fresh] = [await admin.issueToken({}), await admin.issueToken({}), await admin.issueToken({ ttlMs: 60000 })];
    await admin.expireToken(expired.token);
    await admin.revokeToken(revoked.token);
    for (const token of [null, 'not-a-token', expired.token, revoked.token]) {
      const res = await app.rpc('FileSync.getHierarchy', P(), { token });
      assert.deepEqual([res.status, /^Bearer/.test(res.headers['www-authenticate'])], [401, true], String(token));
    }
    assert.equal((await app.rpc('FileSync.getHierarchy', P(), { token: fresh.token })).status, 200);
  });
});

describe('modifying methods and state identifiers', () => {
  let server;
  let lib;
  useServer({ library: { files: { 'A/a1.txt': 'one', 'A/a2.txt': 'two', 'B/b1.txt': 'three' } } }, (made) => ({ server, lib } = made));
  const rpc = async (method, params) => server.app.rpc(method, await lib.params(params));
  const refusal = async (method, params) => errorName(await rpc(method, params));

  // What a new folder's answer holds is tst_serverapi's to check.
  it('mkDir reports an existing folder with its id', async () => {
    const before = await lib.state();
    const made = await server.app.call('FileSync.mkDir', await lib.params({ folderName: 'C', parentId: lib.id }));
    const again = await rpc('FileSync.mkDir', { folderName: 'c', parentId: lib.id });
    assert.deepEqual([errorName(again), again.json.error.data.newFolderId, again.json.result.newFolderId], ['brindlex.AlreadyExists', made.newFolderId, made.newFolderId]);
    assert.equal(await refusal('FileSync.mkDir', { state: before, folderName: 'D', parentId: lib.id }), 'brindlex.StateOutOfDate');
    assert.equal(await refusal('FileSync.mkDir', { folderName: 'D', parentId: '999999' }), 'brindlex.ItemNotFound');
    assert.equal(await refusal('FileSync.mkDir', { folderName: 'x/y', parentId: lib.id }), 'api.exceptions.InvalidParameters');
  });

  it('rename and move keep names unique per folder', async () => {
    const [a, a1, a2, b] = await Promise.all(['A', 'A/a1.txt', 'A/a2.txt', 'B'].map(lib.item));
    assert.equal(await refusal('FileSync.rename', { fileId: a1.id, newName: 'A2.TXT' }), 'brindlex.AlreadyExists');
    const moved = await server.app.call('FileSync.move', await lib.params({ fileId: a1.id, newParentId: b.id }));
    assert.equal(moved.newState, await lib.state());
    assert.ok(await lib.item('B/a1.txt'));
    assert.equal(await refusal('FileSync.move', { fileId: a.id, newParentId: a.id }), 'brindlex.CannotMoveToItself');
    assert.equal(await refusal('FileSync.rename', { fileId: a2.id, newName: 'A1.txt' }), null);
    assert.equal(await refusal('FileSync.move', { fileId: a2.id, newParentId: b.id }), 'brindlex.AlreadyExists');
  });

  it('removeFile checks the file state; rmDir removes the whole folder', async () => {
    const b1 = await lib.item('B/b1.txt');
    assert.equal(await refusal('FileSync.removeFile', { fileId: b1.id, fileState: 'old' }), 'brindlex.StateOutOfDate');
    assert.equal(await refusal('FileSync.removeFile', { fileId: b1.id, fileState: b1.state }), null);
    assert.equal(await refusal('FileSync.removeFile', { fileId: b1.id, fileState: b1.state }), 'brindlex.ItemNotFound');
    assert.equal(await refusal('FileSync.rmDir', { folderId: (await lib.item('B')).id }), null);
    const paths = (await server.admin.tree(lib.tenantId, lib.id)).map((i) => i.path);
    assert.ok(!paths.some((p) => p.startsWith('B')), paths.join(','));
    assert.equal(await refusal('FileSync.rmDir', { folderId: lib.id }), 'brindlex.NotPermitted');
  });
});

describe('read methods, roles and quota', () => {
  let server;
  let lib;
  useServer({ library: { files: { 'doc.txt': 'hello', 'sub/big.bin': { size: 1000 } } } }, (made) => ({ server, lib } = made));
  const refusal = async (method, params, extra) => errorName(await server.app.rpc(method, { tenantId: lib.tenantId, ...params }, extra));

  it('getRole and getFile answer the fields the engine reads, for items of the library only', async () => {
    const { app } = server;
    const [doc, sub] = [await lib.item('doc.txt'), await lib.item('sub')];
    assert.deepEqual(await app.call('Items.getRole', { tenantId: lib.tenantId, itemId: lib.id }, { tenantId: null }), { role: 'Admin' });
    assert.deepEqual(await app.call('Items.getRole', { tenantId: lib.tenantId, itemId: doc.id }), { role: 'Admin' });
    assert.equal(await refusal('Items.getRole', { itemId: '1' }), 'brindlex.ItemNotFound');
    const { file } = await app.call('FileSync.getFile', { tenantId: lib.tenantId, fileId: doc.id });
    assert.deepEqual(
      { id: file.id, state: file.state, name: file.name, fileSize: file.fileSize, contentHash: file.contentHash },
      { id: doc.id, state: doc.state, name: 'doc.txt', fileSize: 5, contentHash: 'aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d' },
    );
    assert.match(file.modifiedTime, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
    assert.equal(await refusal('FileSync.getFile', { fileId: sub.id }), 'brindlex.ItemNotFound', 'a folder is no file');
    assert.equal(await refusal('FileSync.getWatcherAuthenticationToken', { id: sub.id }), 'brindlex.ItemNotFound');
  });

  it('enforces roles: Reader reads, None sees nothing, only Editor and Admin change', async () => {
    const { app, admin } = server;
    const mkDir = async () => app.rpc('FileSync.mkDir', await lib.params({ folderName: 'X', parentId: lib.id }));
    await admin.setRole(lib.tenantId, lib.id, 'Reader');
    const denied = await mkDir();
    assert.deepEqual([errorName(denied), denied.json.error.code], ['api.exceptions.AccessDenied', 1004]);
    assert.equal(await refusal('FileSync.getHierarchy', { id: lib.id }), null);
    await admin.setRole(lib.tenantId, lib.id, 'None');
    assert.equal(await refusal('FileSync.getHierarchy', { id: lib.id }), 'api.exceptions.AccessDenied');
    assert.deepEqual(await app.call('Items.getRole', { tenantId: lib.tenantId, itemId: lib.id }), { role: 'None' });
    await admin.setRole(lib.tenantId, lib.id, 'Editor', 'demo.user');
    assert.equal(errorName(await mkDir()), null);
    await admin.setRole(lib.tenantId, lib.id, 'Admin', 'demo.user');
  });

  it('checks quota and conflicts in canCreateFile and canUpdateFile', async () => {
    const { admin } = server;
    const big = await lib.item('sub/big.bin');
    const can = async (method, size, extra) => errorName(await server.app.rpc(`FileSync.can${method}File`,
      await lib.params({ fileSize: String(size), conflictPolicy: 'RENAME_ON_CONFLICT', ...extra })));
    const create = { parentId: lib.id, filename: 'new.bin' };
    const update = { fileId: big.id, fileState: big.state };
    await admin.setQuota(lib.tenantId, 1205); // 1005 used
    for (const [method, size, extra, expected] of [
      ['Create', 200, create, null],
      ['Create', 201, create, 'brindlex.QuotaExceeded'],
      ['Create', 1, { ...create, filename: 'doc.txt', conflictPolicy: 'ERROR_ON_CONFLICT' }, 'brindlex.AlreadyExists'],
      ['Create', 1, { ...create, fileSize: 5 }, 'api.exceptions.InvalidParameters'],
      ['Create', 1, { ...create, conflictPolicy: 'OVERWRITE' }, 'api.exceptions.InvalidParameters'],
      ['Update', 1200, update, null], // replacing 1000 bytes with 1200 fits
      ['Update', 1201, update, 'brindlex.QuotaExceeded'],
      ['Update', 10, { ...update, fileState: 'old' }, null], // an outdated update becomes a copy under this policy
      ['Update', 10, { ...update, fileState: 'old', conflictPolicy: 'ERROR_ON_CONFLICT' }, 'brindlex.StateOutOfDate'],
    ]) assert.equal(await can(method, size, extra), expected, `${method} ${size} ${JSON.stringify(extra)}`);
    assert.equal((await takeViolations(server)).length, 2);
    await admin.setQuota(lib.tenantId, 100);
    assert.equal(errorName(await server.app.rpc('FileSync.mkDir', await lib.params({ folderName: 'R', parentId: lib.id }))), 'brindlex.QuotaExceeded');
    await admin.setQuota(lib.tenantId, null);
  });
});
