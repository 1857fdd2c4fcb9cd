'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { errorName, takeViolations, useServer } = require('../testing');

const sha1 = (data) => crypto.createHash('sha1').update(data).digest('hex');

describe('download', () => {
  let server;
  let lib;
  useServer({ library: { files: { 'äöü.txt': 'content' } } }, (made) => ({ server, lib } = made));

  it('answers 404 for unknown files and tenants, 403 without access, 401 without a token', async () => {
    const { app, admin } = server;
    const item = await lib.item('äöü.txt');
    const status = async (tenant, id, opts) => (await app.download(tenant, id, opts)).status;
    assert.deepEqual([await status(lib.tenantId, '999999'), await status(lib.tenantId, 'abc'), await status('nobody', item.id),
      await status(lib.tenantId, item.id, { token: 'wrong-token' })], [404, 404, 404, 401]);
    assert.match((await takeViolations(server))[0].reason, /not a decimal number/);
    await admin.setRole(lib.tenantId, lib.id, 'None');
    assert.equal(await status(lib.tenantId, item.id), 403);
    await admin.setRole(lib.tenantId, lib.id, 'Admin');
  });
});

describe('upload', () => {
  let server;
  let lib;
  useServer({ library: { files: { 'doc.txt': 'original' } } }, (made) => ({ server, lib } = made));

  const create = async (filename, body, extra = {}) => server.app.upload({
    tenantId: lib.tenantId, libraryId: lib.id, state: await lib.state(), parentId: lib.id, filename, body, ...extra,
  });
  const update = async (file, body) => server.app.upload({
    tenantId: lib.tenantId, libraryId: lib.id, state: await lib.state(), fileId: file.id, fileState: file.state, body,
  });

  it('keeps an outdated update as a copy beside the newer version', async () => {
    const doc = await lib.item('doc.txt');
    assert.equal(errorName(await update(doc, 'new text')), null);
    const outdated = (await update(doc, 'mine')).json.result;
    assert.deepEqual([outdated.conflicted, outdated.filename], [true, 'doc (2).txt']);
    assert.equal((await lib.item('doc.txt')).contentHash, sha1('new text'));
  });

  it('refuses a stale library state, a file over quota and a missing parent', async () => {
    const refusal = async (name, body, extra) => errorName(await create(name, body, extra));
    assert.equal(await refusal('late.txt', 'x', { state: 'not-the-state' }), 'brindlex.StateOutOfDate');
    await server.admin.setQuota(lib.tenantId, 10);
    assert.equal(await refusal('big.txt', 'more than ten bytes'), 'brindlex.QuotaExceeded');
    await server.admin.setQuota(lib.tenantId, null);
    assert.equal(await refusal('orphan.txt', 'x', { parentId: '987654' }), 'brindlex.ItemNotFound');
  });

  it('validates every header and records the violation', async () => {
    const named = (name) => ({ 'x-filename': Buffer.from(name).toString('base64') });
    const cases = [
      ['length mismatch', { 'x-length': '5' }], ['missing X-id', { 'x-id': undefined }], ['bad method', { 'x-method': 'replace' }],
      ['bad policy', { 'x-conflictpolicy': 'OVERWRITE' }], ['bad time', { 'x-modifiedtimefs': 'yesterday' }],
      ['not Base64', { 'x-filename': 'a b c' }], ['not UTF-8', named(Buffer.from([0xff, 0xfe, 0x41]))], ['slash in name', named('a/b')],
      ['content type', { 'content-type': 'text/plain' }, 'api.exceptions.InvalidRequest'],
    ];
    for (const [name, headers, expected = 'api.exceptions.InvalidParameters'] of cases) {
      assert.equal(errorName(await create('ok.txt', 'some bytes', { headers })), expected, name);
    }
    assert.equal((await takeViolations(server)).length, cases.length);
    assert.equal(await lib.item('ok.txt'), null);
  });
});
