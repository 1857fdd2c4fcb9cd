'use strict';

const { describe, it } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { AdminClient } = require('../client');
const { startDevServer } = require('../server');
const { makeLibrary, errorName, useServer } = require('../testing');

const sha1 = (data) => crypto.createHash('sha1').update(data).digest('hex');

describe('admin API', () => {
  let server;
  useServer({}, (made) => ({ server } = made));

  it('wants its own token', async () => {
    const stranger = new AdminClient({ adminUrl: server.adminUrl, adminToken: server.token, ca: server.ca });
    await assert.rejects(stranger.info(), { status: 401 }).finally(() => stranger.close());
  });

  // How each change reaches the engine is the engine suites' concern; here, what a user could not do.
  it('changes the tree as another user would, and refuses what a user could not', async () => {
    const { admin } = server;
    const lib = await makeLibrary(server);
    const [t, l] = [lib.tenantId, lib.id];
    const deep = await admin.putFile(t, l, 'a/b/deep.txt', 'deep');
    const raw = await admin.putFile(t, l, { path: 'a/raw.bin' }, Buffer.from([0, 1, 2, 255]));
    await assert.rejects(admin.putFile(t, l, 'a/raw.bin', 'again'), { status: 409 });
    await admin.putFile(t, l, { path: 'a/raw.bin', overwrite: true }, 'replaced');
    await admin.putFile(t, l, 'gen.bin', { size: 100000, seed: 5 });
    await assert.rejects(admin.move(t, l, (await lib.item('a')).id, (await lib.item('a/b')).id), { status: 409 });
    await assert.rejects(admin.rename(t, l, '999999', 'x'), { status: 404 });
    await assert.rejects(admin.putFile(t, l, 'bad\u0001name', 'x'), { status: 400 });
    const tree = await admin.treeMap(t, l);
    assert.deepEqual(Object.keys(tree), ['a', 'a/b', 'a/b/deep.txt', 'a/raw.bin', 'gen.bin']);
    assert.deepEqual(tree['a/raw.bin'], { type: 'file', size: 8, contentHash: sha1('replaced') });
    assert.deepEqual([tree['gen.bin'].size, raw.size, (await admin.readFile(t, l, deep.id)).toString()], [100000, 4, 'deep']);
  });

  it('applies settings: letter case in names, the state check, the antivirus marker', async () => {
    const { admin, app } = server;
    const lib = await makeLibrary(server, { files: { 'Case.txt': 'x' } });
    const mkDir = async (folderName, state) => app.rpc('FileSync.mkDir', { ...(await lib.params({ folderName, parentId: lib.id })), ...(state ? { state } : {}) });
    assert.equal(errorName(await mkDir('CASE.TXT')), 'brindlex.AlreadyExists');
    await admin.setSettings({ caseSensitiveNames: true, checkLibraryState: false, avMarker: '' });
    try {
      assert.equal(errorName(await mkDir('CASE.TXT')), null);
      assert.equal(errorName(await mkDir('other', 'long gone')), null);
      const up = await app.upload({ tenantId: lib.tenantId, libraryId: lib.id, state: 'x', parentId: lib.id, filename: 'v.txt', body: 'BX-AV-TEST-SIGNATURE' });
      assert.deepEqual([errorName(up), up.json.result.avCheck], [null, false]);
    } finally {
      await admin.setSettings({ caseSensitiveNames: false, checkLibraryState: true, avMarker: 'BX-AV-TEST-SIGNATURE' });
    }
    await assert.rejects(admin.setSettings({ holdMs: -1 }), { status: 400 });
    await assert.rejects(admin.setSettings({ unknown: 1 }), { status: 400 });
  });
});

describe('start-up on a damaged data directory', () => {
  it('refuses an unreadable state file with a clear error instead of starting empty', async () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'bx-devserver-bad-'));
    const file = path.join(dir, 'state.json');
    fs.writeFileSync(file, '{"tenants": [');
    const result = await startDevServer({ dataDir: dir, quiet: true });
    assert.match(result.error, /cannot read .*state\.json/);
    assert.equal(fs.readFileSync(file, 'utf8'), '{"tenants": [');
    fs.rmSync(dir, { recursive: true, force: true });
  });
});
