'use strict';
// Whole-engine scenarios against the reference server: a server tree and a local change in, the
// engine run until both trees agree, then what the user sees and what the server received.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { Scenario, sleep } = require('./support/scenario');

const KiB = 1024;
const japanese = `${'報告書'.repeat(20)}.txt`;
const seeded = {
  folders: ['A/B/C', 'Empty'],
  files: {
    'A/a1.txt': 'one',
    'A/B/b.bin': { size: 300 * KiB, seed: 7 },
    'A/B/C/c.bin': { size: 2048 * KiB, seed: 8 },
    'zero.txt': '',
    [japanese]: 'こんにちは',
  },
};

const count = async (s, filter) => (await s.requests(filter)).length;

// Each row: the library on the server, what happens once the first sync has settled, and checks on
// the settled trees (`both` has the local and the server tree of the library "Docs").
const rows = [
  {
    name: 'the server tree arrives whole, with times, and no temporary file is left',
    check: async (s, both) => {
      assert.ok(both.Docs.local['Empty']);
      assert.equal(both.Docs.local['zero.txt'].size, 0);
      const server = await s.item('Docs', 'A/B/b.bin');
      const mtime = fs.statSync(s.localPath('Docs', 'A/B/b.bin')).mtime.getTime();
      assert.equal(Math.floor(mtime / 1000), Math.floor(Date.parse(server.modifiedTime) / 1000));
      const leftovers = fs.readdirSync(s.store, { recursive: true }).filter((p) => /\.(part|tmp|download)$/.test(p));
      assert.deepEqual(leftovers, []);
    },
  },
  {
    name: 'a local file and folder are created on the server',
    act: async (s) => {
      fs.mkdirSync(s.localPath('Docs', 'New/Deep'), { recursive: true });
      fs.writeFileSync(s.localPath('Docs', 'New/Deep/n.txt'), 'made here');
    },
    check: async (s, both) => assert.equal(both.Docs.remote['New/Deep/n.txt'].size, 9),
  },
  {
    name: 'a local edit is one update of the same server file',
    act: async (s) => {
      s.before = await s.item('Docs', 'A/a1.txt');
      fs.writeFileSync(s.localPath('Docs', 'A/a1.txt'), 'one, edited');
    },
    check: async (s) => {
      const after = await s.item('Docs', 'A/a1.txt');
      assert.equal(after.id, s.before.id);
      assert.equal(after.size, 11);
    },
  },
  {
    name: 'files added and changed on the server arrive',
    act: async (s) => {
      const { admin } = s.server;
      await admin.putFile(s.tenant.id, s.libs.Docs, 'A/colleague.txt', 'from a colleague');
      await admin.updateFile(s.tenant.id, s.libs.Docs, (await s.item('Docs', 'A/a1.txt')).id, 'changed on the server');
    },
    check: async (s, both) => {
      assert.equal(fs.readFileSync(s.localPath('Docs', 'A/a1.txt'), 'utf8'), 'changed on the server');
      assert.ok(both.Docs.local['A/colleague.txt']);
    },
  },
  {
    name: 'local deletions of a file and a folder reach the server',
    act: async (s) => {
      fs.rmSync(s.localPath('Docs', 'A/a1.txt'));
      fs.rmSync(s.localPath('Docs', 'A/B'), { recursive: true });
    },
    check: async (s, both) => {
      assert.equal(both.Docs.remote['A/a1.txt'], undefined);
      assert.equal(both.Docs.remote['A/B'], undefined);
    },
  },
  {
    name: 'server deletions remove the local copies',
    act: async (s) => {
      const { admin } = s.server;
      await admin.remove(s.tenant.id, s.libs.Docs, (await s.item('Docs', 'zero.txt')).id);
      await admin.remove(s.tenant.id, s.libs.Docs, (await s.item('Docs', 'A/B')).id);
    },
    check: async (s) => {
      assert.equal(fs.existsSync(s.localPath('Docs', 'zero.txt')), false);
      assert.equal(fs.existsSync(s.localPath('Docs', 'A/B')), false);
    },
  },
  {
    name: 'a local folder rename is one rename on the server and no upload',
    act: async (s) => {
      s.uploadsBefore = await count(s, { endpoint: 'upload' });
      fs.renameSync(s.localPath('Docs', 'A'), s.localPath('Docs', 'Renamed'));
    },
    check: async (s, both) => {
      assert.ok(both.Docs.remote['Renamed/B/C/c.bin']);
      assert.equal(await count(s, { endpoint: 'upload' }), s.uploadsBefore);
      assert.equal(await count(s, { method: 'FileSync.rename' }), 1);
    },
  },
  {
    name: 'a case-only rename and a move on the server arrive',
    act: async (s) => {
      const { admin } = s.server;
      await admin.rename(s.tenant.id, s.libs.Docs, (await s.item('Docs', 'A/a1.txt')).id, 'A1.txt');
      await admin.move(s.tenant.id, s.libs.Docs, (await s.item('Docs', 'A/B/C')).id, (await s.item('Docs', 'Empty')).id);
    },
    check: async (s, both) => {
      assert.ok(both.Docs.local['A/A1.txt']);
      assert.ok(both.Docs.local['Empty/C/c.bin']);
    },
  },
  {
    name: "an editor's atomic save is one update; a dot-file is never uploaded",
    act: async (s) => {
      s.uploadsBefore = await count(s, { endpoint: 'upload' });
      fs.writeFileSync(s.localPath('Docs', 'A/.a1.txt.swp'), 'saved atomically');
      fs.renameSync(s.localPath('Docs', 'A/.a1.txt.swp'), s.localPath('Docs', 'A/a1.txt'));
      fs.writeFileSync(s.localPath('Docs', 'A/.hidden'), 'private');
    },
    check: async (s, both) => {
      assert.equal(both.Docs.remote['A/a1.txt'].size, 16);
      assert.equal(await count(s, { endpoint: 'upload' }), s.uploadsBefore + 1);
    },
  },
  {
    name: 'a file changed on both sides while stopped keeps both versions on both sides',
    stopped: async (s) => {
      fs.writeFileSync(s.localPath('Docs', 'A/a1.txt'), 'local version');
      await s.server.admin.updateFile(s.tenant.id, s.libs.Docs, (await s.item('Docs', 'A/a1.txt')).id, 'server version');
    },
    check: async (s, both) => {
      const contents = Object.keys(both.Docs.local).filter((p) => p.startsWith('A/') && p.includes('a1'))
        .map((p) => fs.readFileSync(s.localPath('Docs', p), 'utf8')).sort();
      assert.deepEqual(contents, ['local version', 'server version']);
      assert.ok(await count(s, { method: 'FileSync.getHierarchy' }) <= s.fetchesBefore + 3);
    },
  },
  {
    name: 'a database lost while stopped: nothing is downloaded again, no "(2)" copy',
    stopped: async (s) => {
      fs.rmSync(path.join(s.dataDir, 'bxsync.db'), { force: true });
      s.downloadsBefore = await count(s, { endpoint: 'download' });
    },
    check: async (s, both) => {
      assert.equal(await count(s, { endpoint: 'download' }), s.downloadsBefore);
      assert.deepEqual(Object.keys(both.Docs.local).filter((p) => / \(\d+\)/.test(p)), []);
    },
  },
];

for (const row of rows) {
  test(row.name, { timeout: 180000 }, async () => {
    const s = await Scenario.start({ libraries: [{ name: 'Docs', ...seeded }] });
    try {
      await s.startEngine();
      let both = await s.converge();
      if (row.stopped) {
        await s.stopEngine();
        await row.stopped(s);
        s.fetchesBefore = await count(s, { method: 'FileSync.getHierarchy' });
        await s.startEngine();
      }
      if (row.act) {
        await row.act(s);
        await sleep(500);
      }
      if (row.act || row.stopped) both = await s.converge();
      await row.check(s, both);
      assert.deepEqual(await s.violations(), []);
    } finally {
      await s.close();
    }
  });
}

test('an engine killed in the middle of the first download converges after a restart, without copies', { timeout: 240000 }, async () => {
  const files = {};
  for (let i = 0; i < 150; i += 1) files[`F${i % 5}/file${i}.bin`] = { size: 40 * KiB, seed: i };
  const s = await Scenario.start({ libraries: [{ name: 'Docs', files }] });
  try {
    await s.startHost();
    const { waitFor } = require('./support/scenario');
    await waitFor(() => Object.keys(s.local('Docs')).length >= 30, 60000, 'some files to arrive');
    await s.killHost();
    await s.startEngine();
    const both = await s.converge(120000);
    assert.equal(Object.values(both.Docs.local).filter((e) => e.type === 'file').length, 150);
    const hidden = fs.readdirSync(s.tenantFolder, { recursive: true }).filter((p) => /(^|\/)\./.test(p) && !p.includes('Brindlex File Cache'));
    assert.deepEqual(hidden, []);
    assert.deepEqual(await s.violations(), []);
  } finally {
    await s.close();
  }
});
