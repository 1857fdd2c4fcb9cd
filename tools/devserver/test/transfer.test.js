'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { errorName, takeViolations, useServer } = require('../testing');

const sha1 = (data) => crypto.createHash('sha1').update(data).digest('hex');

describe('download', () => {
  let server;
  let lib;
  const names = ['plain name.txt', 'äöü.txt', '日本語 メモ.md', 'semi;colon:and"quote.txt', `${'long name '.repeat(20)}é.txt`];
  useServer({ library: { files: Object.fromEntries(names.map((n, i) => [n, `content ${i}`])) } }, (made) => ({ server, lib } = made));

  // The engine's decoding of these names is its own tests' concern.
  it('sends the bytes with length, identifiers and a name in plain ASCII', async () => {
    for (const [i, name] of names.entries()) {
      const item = await lib.item(name);
      const res = await server.app.download(lib.tenantId, item.id);
      const h = res.headers;
      assert.deepEqual([res.status, res.body.toString(), h['content-length'], h['x-id'], h['x-filestate'], h['x-state']],
        [200, `content ${i}`, String(res.body.length), item.id, item.state, await lib.state()], name);
      assert.match(h['content-disposition'], /^attachment; filename="[\x20-\x7e]+"$/);
    }
  });

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
  useServer({ library: { files: { 'doc.txt': 'original', 'sub/keep.txt': 'keep' } } }, (made) => ({ server, lib } = made));

  const create = async (filename, body, extra = {}) => server.app.upload({
    tenantId: lib.tenantId, libraryId: lib.id, state: await lib.state(), parentId: lib.id, filename, body, ...extra,
  });
  const update = async (file, body, extra = {}) => server.app.upload({
    tenantId: lib.tenantId, libraryId: lib.id, state: await lib.state(), fileId: file.id, fileState: file.state, body, ...extra,
  });

  it('creates a file and renames on conflict', async () => {
    const { fileId, state, fileState, ...rest } = (await create('report é.txt', 'v1', { createdTime: '2020-10-08T10:00:00Z', modifiedTime: '2020-10-08T11:00:00Z' })).json.result;
    assert.deepEqual(rest, { filename: 'report é.txt', changeDropped: false, avCheck: true, conflicted: false });
    assert.equal(state, await lib.state());
    const stored = await lib.item('report é.txt');
    assert.deepEqual([stored.id, stored.state, stored.contentHash, stored.modifiedTime], [fileId, fileState, sha1('v1'), '2020-10-08T11:00:00Z']);

    const second = (await create('report é.txt', 'v2')).json.result;
    const third = (await create('REPORT É.txt', 'v3')).json.result;
    assert.deepEqual([second.filename, second.conflicted], ['report é (2).txt', true]);
    assert.deepEqual([third.filename, third.conflicted], ['REPORT É (3).txt', true]);
  });

  it('updates content, drops a no-op change and keeps an outdated update as a copy', async () => {
    const doc = await lib.item('doc.txt');
    const updated = (await update(doc, 'new text')).json.result;
    assert.deepEqual([updated.fileId, updated.fileState === doc.state, (await lib.item('doc.txt')).contentHash], [doc.id, false, sha1('new text')]);

    const current = await lib.item('doc.txt');
    const same = (await update(current, 'new text')).json.result;
    assert.deepEqual([same.changeDropped, same.fileState, same.state], [true, current.state, await lib.state()]);

    const outdated = (await update({ id: doc.id, state: doc.state }, 'mine')).json.result;
    assert.deepEqual([outdated.conflicted, outdated.filename], [true, 'doc (2).txt']);
    assert.equal((await lib.item('doc.txt')).contentHash, sha1('new text'));
  });

  it('refuses a stale library state, an infected file and a file over quota', async () => {
    const refusal = async (name, body, extra) => errorName(await create(name, body, extra));
    assert.equal(await refusal('late.txt', 'x', { state: 'not-the-state' }), 'brindlex.StateOutOfDate');
    const infected = await create('eicar.txt', 'harmless BX-AV-TEST-SIGNATURE text');
    assert.equal(errorName(infected), 'brindlex.AntivirusAlert');
    assert.match(infected.json.error.message, /^AvVirusFound/);
    assert.equal(await lib.item('eicar.txt'), null);
    await server.admin.setQuota(lib.tenantId, 10);
    assert.equal(await refusal('big.txt', 'more than ten bytes'), 'brindlex.QuotaExceeded');
    await server.admin.setQuota(lib.tenantId, null);
    await server.admin.setRole(lib.tenantId, lib.id, 'Reader');
    assert.equal(await refusal('ro.txt', 'x'), 'api.exceptions.AccessDenied');
    await server.admin.setRole(lib.tenantId, lib.id, 'Admin');
    assert.equal(await refusal('orphan.txt', 'x', { parentId: '987654' }), 'brindlex.ItemNotFound');
    assert.equal(await refusal('t.txt', 'x', { tenantId: 'nobody' }), 'brindlex.TenantNotFound');
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

  it('streams a large body to disk and hashes it', async () => {
    const body = crypto.randomBytes(12 * 1024 * 1024);
    assert.equal(errorName(await create('large.bin', body)), null);
    const stored = await lib.item('large.bin');
    assert.deepEqual([stored.size, stored.contentHash], [body.length, sha1(body)]);
  });
});
