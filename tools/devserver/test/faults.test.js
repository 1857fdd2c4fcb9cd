'use strict';

const { describe, it, before } = require('node:test');
const assert = require('node:assert/strict');
const https = require('node:https');
const { errorName, useServer } = require('../testing');

const CUT = /aborted|socket hang up|ECONNRESET/;

// Delays are left to the watcher's tests, which fail when they go missing.
describe('fault injection', () => {
  let server;
  let lib;
  let big;
  useServer({ library: { files: { 'big.bin': { size: 256 * 1024 }, 'small.txt': 'small' } } }, (made) => ({ server, lib } = made));
  before(async () => { big = await lib.item('big.bin'); });

  const mkDir = async (name, opts) => server.app.rpc('FileSync.mkDir', await lib.params({ folderName: name, parentId: lib.id }), opts);
  const getFile = () => server.app.rpc('FileSync.getFile', { tenantId: lib.tenantId, fileId: big.id });
  const download = () => server.app.download(lib.tenantId, big.id);
  const fault = (rule) => server.admin.addFault(rule);

  it('answers a JSON-RPC error for the next N calls of one method only, without running them', async () => {
    await fault({ method: 'FileSync.mkDir', type: 'rpcError', fullName: 'brindlex.SessionExpired', count: 2 });
    for (const name of ['f1', 'f2']) {
      const res = await mkDir(name);
      assert.deepEqual([errorName(res), res.json.error.code], ['brindlex.SessionExpired', -32001]);
    }
    assert.equal(errorName(await getFile()), null);
    assert.equal(errorName(await mkDir('f3')), null);
    const paths = (await server.admin.tree(lib.tenantId, lib.id)).map((i) => i.path);
    assert.ok(!paths.includes('f1') && !paths.includes('f2') && paths.includes('f3'));
    assert.deepEqual(await server.admin.faults(), []);
  });

  it('answers an HTTP status on an endpoint once; drips a body slowly but completely', async () => {
    await fault({ endpoint: 'download', type: 'httpStatus', status: 503 });
    assert.deepEqual([(await download()).status, (await download()).status], [503, 200]);
    await fault({ endpoint: 'download', type: 'drip', bytes: 64 * 1024, everyMs: 150 });
    const started = Date.now();
    const res = await download();
    assert.ok(Date.now() - started >= 3 * 150 - 10, 'four pieces take at least three pauses');
    assert.deepEqual([res.body.length, res.headers['content-length']], [256 * 1024, String(256 * 1024)]);
  });

  it('stalls after the headers, with or without running the call', async () => {
    await fault({ method: 'FileSync.mkDir', type: 'stall', execute: true });
    await assert.rejects(mkDir('stalled', { timeoutMs: 400 }), { code: 'ETIMEDOUT' });
    assert.ok(await lib.item('stalled'), 'the call ran although no answer came');
    await fault({ endpoint: 'download', type: 'stall' });
    const status = await new Promise((resolve, reject) => {
      const req = https.get(`${server.url}/${lib.tenantId}/file/${big.id}`, { ca: server.ca, headers: { authorization: `Bearer ${server.token}` } }, (res) => {
        res.once('data', () => reject(new Error('a stalled download sent body bytes')));
        setTimeout(() => { req.destroy(); resolve(res.statusCode); }, 300);
      });
      req.on('error', () => {});
    });
    assert.equal(status, 200);
  });

  it('drops the connection mid-body, or cuts a body short with a matching length', async () => {
    await fault({ endpoint: 'download', type: 'drop', afterBytes: 1000 });
    await assert.rejects(download(), CUT);
    await fault({ endpoint: 'upload', type: 'drop' });
    await assert.rejects(server.app.upload({ tenantId: lib.tenantId, libraryId: lib.id, state: await lib.state(), parentId: lib.id, filename: 'lost answer.txt', body: 'x' }), CUT);
    assert.ok(await lib.item('lost answer.txt'), 'the upload landed, only its answer was lost');
    await fault({ endpoint: 'download', type: 'truncate', bytes: 100 });
    await assert.rejects(download(), CUT);
    await fault({ endpoint: 'download', type: 'truncate', bytes: 100, consistentLength: true });
    const res = await download();
    assert.deepEqual([res.status, res.body.length, res.headers['content-length']], [200, 100, '100']);
  });

  it('rewrites and removes answer headers, body untouched', async () => {
    const crafted = 'attachment; filename="=?utf-8?Q?caf=C3=A9.txt?="';
    await fault({ endpoint: 'download', type: 'headers', set: { 'Content-Disposition': crafted, 'content-length': null } });
    const res = await download();
    assert.deepEqual([res.headers['content-disposition'], res.headers['content-length'], res.headers['transfer-encoding'], res.headers['x-id'], res.body.length],
      [crafted, undefined, 'chunked', big.id, 256 * 1024]);
    assert.equal((await download()).headers['content-length'], String(256 * 1024));
  });

  it('pads an answer to an exact size, streamed or whole', async () => {
    await fault({ method: 'FileSync.getHierarchy', type: 'pad', size: 300000 });
    const padded = await server.app.rpc('FileSync.getHierarchy', { tenantId: lib.tenantId, id: lib.id });
    assert.equal(padded.body.length, 300000);
    assert.equal(padded.json.result.hierarchy.id, lib.id, 'blanks after the document keep it valid JSON');
    await fault({ method: 'FileSync.getFile', type: 'pad', size: 5000, fill: 'x' });
    const broken = await getFile();
    assert.deepEqual([broken.body.length, broken.headers['content-length'], broken.json], [5000, '5000', null]);
    assert.match(broken.body.toString('utf8'), /\}x+$/);
    await fault({ method: 'FileSync.getFile', type: 'pad', size: 10 });
    assert.equal((await getFile()).json.result.file.id, big.id, 'a body already longer than the size is left alone');
  });

  it('refuses rules it cannot carry out', async () => {
    for (const desc of [{ type: 'explode' }, { type: 'delay' }, { type: 'rpcError' }, { type: 'httpStatus', status: 99 }, { type: 'drop', endpoint: 'ftp' },
      { type: 'headers' }, { type: 'headers', set: { 'bad name': 'x' } }, { type: 'headers', set: { a: 'two\nlines' } }, { type: 'drip', everyMs: 0 },
      { type: 'pad' }, { type: 'pad', size: 10, fill: '' }]) {
      await assert.rejects(fault(desc), { status: 400 }, JSON.stringify(desc));
    }
  });
});
