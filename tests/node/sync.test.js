'use strict';
// Whole-engine scenarios against the reference server: a server tree and a local change in, the
// engine run until both trees agree, then what the user sees and what the server received.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { Scenario, waitFor } = require('./support/scenario');

const KiB = 1024;
const japanese = `${'報告書'.repeat(20)}.txt`;
const seeded = {
  folders: ['A/B/C', 'Empty'],
  files: {
    'A/a1.txt': 'one',
    'A/B/b.bin': { size: 300 * KiB, seed: 7, modifiedTime: '2021-06-07T08:09:10Z' },
    'A/B/C/c.bin': { size: 2048 * KiB, seed: 8 },
    'zero.txt': '',
    [japanese]: 'こんにちは',
  },
};

const count = async (s, filter) => (await s.requests(filter)).length;
const at = (s, rel) => s.localPath('Docs', rel);
const write = (s, rel, text) => fs.writeFileSync(at(s, rel), text);
const id = async (s, rel) => (await s.item('Docs', rel)).id;
// What a colleague does on the server, e.g. onServer(s, 'rename', id, 'new name').
const onServer = (s, verb, ...args) => s.server.admin[verb](s.tenant.id, s.libs.Docs, ...args);
const uploads = (s) => count(s, { endpoint: 'upload' });

// Each row: the library on the server, what happens once the first sync has settled (`act` with
// the engine running, `stopped` with it stopped), and checks on the settled trees (`both` has the
// local and the server tree of the library "Docs").
const rows = [
  {
    name: 'the server tree arrives whole, with times, and no temporary file is left',
    check: async (s, both) => {
      assert.ok(both.Docs.local['Empty']);
      assert.equal(await count(s, { method: 'FileSync.mkDir' }), 0);
      assert.equal(both.Docs.local['zero.txt'].size, 0);
      const server = await s.item('Docs', 'A/B/b.bin');
      const mtime = fs.statSync(at(s, 'A/B/b.bin')).mtime.getTime();
      assert.equal(Math.floor(mtime / 1000), Math.floor(Date.parse(server.modifiedTime) / 1000));
      const leftovers = fs.readdirSync(s.store, { recursive: true }).filter((p) => /\.(part|tmp|download)$/.test(p));
      assert.deepEqual(leftovers, []);
    },
  },
  {
    name: 'a local file and folder are created on the server',
    act: async (s) => {
      fs.mkdirSync(at(s, 'New/Deep'), { recursive: true });
      write(s, 'New/Deep/n.txt', 'made here');
    },
    check: async (s, both) => {
      assert.equal(both.Docs.remote['New/Deep/n.txt'].size, 9);
      assert.equal(await count(s, { method: 'FileSync.mkDir' }), 2);
    },
  },
  {
    name: 'a local edit is one update of the same server file',
    act: async (s) => {
      s.before = await id(s, 'A/a1.txt');
      write(s, 'A/a1.txt', 'one, edited');
    },
    check: async (s) => {
      const after = await s.item('Docs', 'A/a1.txt');
      assert.deepEqual([after.id, after.size], [s.before, 11]);
    },
  },
  {
    name: 'files added and changed on the server arrive',
    act: async (s) => {
      await onServer(s, 'putFile', 'A/colleague.txt', 'from a colleague');
      await onServer(s, 'updateFile', await id(s, 'A/a1.txt'), 'changed on the server');
    },
    check: async (s, both) => {
      assert.equal(fs.readFileSync(at(s, 'A/a1.txt'), 'utf8'), 'changed on the server');
      assert.ok(both.Docs.local['A/colleague.txt']);
    },
  },
  {
    name: 'local deletions of a file and a folder reach the server',
    act: async (s) => {
      fs.rmSync(at(s, 'A/a1.txt'));
      fs.rmSync(at(s, 'A/B'), { recursive: true });
    },
    check: async (s, both) => {
      assert.deepEqual([both.Docs.remote['A/a1.txt'], both.Docs.remote['A/B']], [undefined, undefined]);
      assert.deepEqual([await count(s, { method: 'FileSync.removeFile' }), await count(s, { method: 'FileSync.rmDir' })], [1, 1]);
    },
  },
  {
    name: 'server deletions remove the local copies',
    act: async (s) => {
      await onServer(s, 'remove', await id(s, 'zero.txt'));
      await onServer(s, 'remove', await id(s, 'A/B'));
    },
    check: async (s) => {
      assert.deepEqual([fs.existsSync(at(s, 'zero.txt')), fs.existsSync(at(s, 'A/B'))], [false, false]);
      assert.deepEqual([await count(s, { method: 'FileSync.removeFile' }), await count(s, { method: 'FileSync.rmDir' })], [0, 0]);
    },
  },
  {
    name: 'a local folder rename is one rename on the server and no upload',
    act: async (s) => {
      s.uploadsBefore = await uploads(s);
      fs.renameSync(at(s, 'A'), at(s, 'Renamed'));
    },
    check: async (s, both) => {
      assert.ok(both.Docs.remote['Renamed/B/C/c.bin']);
      assert.equal(await uploads(s), s.uploadsBefore);
      assert.equal(await count(s, { method: 'FileSync.rename' }), 1);
    },
  },
  {
    name: 'a case-only rename and a move on the server arrive',
    act: async (s) => {
      await onServer(s, 'rename', await id(s, 'A/a1.txt'), 'A1.txt');
      await onServer(s, 'move', await id(s, 'A/B/C'), await id(s, 'Empty'));
    },
    check: async (s, both) => assert.ok(both.Docs.local['A/A1.txt'] && both.Docs.local['Empty/C/c.bin']),
  },
  {
    name: "an editor's atomic save is one update; a dot-file is never uploaded",
    act: async (s) => {
      s.uploadsBefore = await uploads(s);
      write(s, 'A/.a1.txt.swp', 'saved atomically');
      fs.renameSync(at(s, 'A/.a1.txt.swp'), at(s, 'A/a1.txt'));
      write(s, 'A/.hidden', 'private');
    },
    check: async (s, both) => {
      assert.equal(both.Docs.remote['A/a1.txt'].size, 16);
      assert.equal(await uploads(s), s.uploadsBefore + 1);
    },
  },
  {
    name: 'two file names swapped on the server while stopped are swapped locally',
    stopped: async (s) => {
      const [zero, other] = [await id(s, 'zero.txt'), await id(s, japanese)];
      await onServer(s, 'rename', zero, 'swap.tmp');
      await onServer(s, 'rename', other, 'zero.txt');
      await onServer(s, 'rename', zero, japanese);
    },
    check: async (s, both) => assert.deepEqual([both.Docs.local['zero.txt'].size, both.Docs.local[japanese].size], [15, 0]),
  },
  {
    name: 'a file changed on both sides while stopped keeps both versions on both sides',
    stopped: async (s) => {
      write(s, 'A/a1.txt', 'local version');
      await onServer(s, 'updateFile', await id(s, 'A/a1.txt'), 'server version');
    },
    check: async (s, both) => {
      const contents = Object.keys(both.Docs.local).filter((p) => p.startsWith('A/') && p.includes('a1'))
        .map((p) => fs.readFileSync(at(s, p), 'utf8')).sort();
      assert.deepEqual(contents, ['local version', 'server version']);
      assert.ok(await count(s, { method: 'FileSync.getHierarchy' }) <= s.fetchesBefore + 3);
    },
  },
  {
    name: 'a database lost while stopped: only a differing file is downloaded again, both versions kept, no "(2)" copy',
    stopped: async (s) => {
      fs.rmSync(path.join(s.dataDir, 'bxsync.db'), { force: true });
      write(s, 'A/a1.txt', 'edited while lost');
      s.downloadsBefore = await count(s, { endpoint: 'download' });
    },
    check: async (s, both) => {
      assert.equal(await count(s, { endpoint: 'download' }), s.downloadsBefore + 1);
      assert.deepEqual(Object.keys(both.Docs.local).filter((p) => / \(\d+\)/.test(p)), []);
      const a1 = Object.keys(both.Docs.local).filter((p) => p.startsWith('A/a1')).map((p) => fs.readFileSync(at(s, p), 'utf8'));
      assert.deepEqual(a1.sort(), ['edited while lost', 'one']);
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
      if (row.act) await row.act(s);
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
    // Slow downloads, so that the kill lands in the middle.
    await s.server.admin.addFault({ type: 'delay', endpoint: 'download', ms: 40, count: 150 });
    await s.startHost();
    await waitFor(() => Object.keys(s.local('Docs')).length >= 30, 60000, 'some files to arrive');
    await s.killHost();
    const fileCount = (tree) => Object.values(tree).filter((e) => e.type === 'file').length;
    assert.ok(fileCount(s.local('Docs')) < 150, 'the kill came too late to test anything');
    await s.server.admin.clearFaults();
    await s.startEngine();
    const both = await s.converge(120000);
    assert.equal(fileCount(both.Docs.local), 150);
    const hidden = fs.readdirSync(s.tenantFolder, { recursive: true }).filter((p) => /(^|\/)\./.test(p) && !p.includes('Brindlex File Cache'));
    assert.deepEqual(hidden, []);
    const partial = path.join(s.store, '.Brindlex Downloads');
    assert.deepEqual(fs.existsSync(partial) ? fs.readdirSync(partial) : [], []);
    assert.deepEqual(await s.violations(), []);
  } finally {
    await s.close();
  }
});
