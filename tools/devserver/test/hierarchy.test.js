'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const { makeLibrary, useServer } = require('../testing');

const ISO_UTC = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/;
const DECIMAL = /^\d+$/;

// Walks a hierarchy the way a strict streaming reader would and returns
// {path: file} for every file; any deviation from the shape throws.
function walk(node, prefix, out) {
  assert.deepEqual(Object.keys(node).filter((k) => k === 'files' || k === 'folders').sort(), ['files', 'folders']);
  for (const f of node.files) {
    assert.deepEqual([DECIMAL.test(f.id), typeof f.fileSize, /^[0-9a-f]{40}$/.test(f.contentHash), ISO_UTC.test(f.createdTime), ISO_UTC.test(f.modifiedTime), typeof f.state],
      [true, 'number', true, true, true, 'string'], f.name);
    out[`${prefix}${f.name}`] = f;
  }
  for (const d of node.folders) {
    assert.deepEqual([DECIMAL.test(d.id), ISO_UTC.test(d.modifiedTime)], [true, true], d.name);
    walk(d, `${prefix}${d.name}/`, out);
  }
  return out;
}

describe('FileSync.getHierarchy', () => {
  let server;
  let lib;
  const files = { 'top.txt': 'top', 'A/B/C/deep.txt': 'deep', 'A/a.txt': 'a', 'Zürich Ω/ü.txt': 'ü' };
  useServer({ library: { files, folders: ['Empty'] } }, (made) => ({ server, lib } = made));

  it('answers the nested shape with ids as decimal strings', async () => {
    const result = await server.app.call('FileSync.getHierarchy', { tenantId: lib.tenantId, id: lib.id });
    const { hierarchy } = result;
    assert.deepEqual([hierarchy.id, hierarchy.state, hierarchy.tenantId, hierarchy.tenantName], [lib.id, await lib.state(), lib.tenantId, 'Tenant']);
    assert.deepEqual(hierarchy.chain.map((c) => [c.id, c.pid, c.type, typeof c.pinIndex]),
      [[lib.teamId, '0', 'team', 'number'], [lib.id, lib.teamId, 'fileLibrary', 'number']]);
    const files = walk(hierarchy, '', {});
    assert.deepEqual(Object.keys(files).sort(), ['A/B/C/deep.txt', 'A/a.txt', 'Zürich Ω/ü.txt', 'top.txt']);
    assert.ok(hierarchy.folders.some((f) => f.name === 'Empty' && f.files.length === 0 && f.folders.length === 0));
    assert.deepEqual([typeof result.wat, result.watcherHostname, typeof result.changedId], ['string', server.hostname, 'number']);
  });

  // Content changes and their new file states are the engine suites' to see.
  it('moves changedId on with a change, and keeps file states across a folder rename', async () => {
    const get = async () => (await server.app.call('FileSync.getHierarchy', { tenantId: lib.tenantId, id: lib.id }));
    const before = await get();
    await server.admin.rename(lib.tenantId, lib.id, (await lib.item('A')).id, 'A renamed');
    const after = await get();
    assert.ok(after.changedId > before.changedId);
    assert.equal(walk(after.hierarchy, '', {})['A renamed/a.txt'].state, walk(before.hierarchy, '', {})['A/a.txt'].state);
  });

  it('streams large hierarchies as one well-formed document', async () => {
    const { admin, app } = server;
    const big = await makeLibrary(server);
    const folder = await admin.mkdir(big.tenantId, big.id, 'many');
    for (let i = 0; i < 600; i += 1) {
      await admin.putFile(big.tenantId, big.id, { parentId: folder.id, name: `file number ${String(i).padStart(4, '0')} with a longish name.txt` }, `${i}`);
    }
    const res = await app.rpc('FileSync.getHierarchy', { tenantId: big.tenantId, id: big.id });
    assert.ok(res.body.length > 65536, `body is ${res.body.length} bytes`);
    assert.equal(res.headers['transfer-encoding'], 'chunked');
    const files = walk(res.json.result.hierarchy, '', {});
    assert.equal(Object.keys(files).length, 600);
  });
});
