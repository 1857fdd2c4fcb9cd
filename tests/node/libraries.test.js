'use strict';
// The host's path queries through the real add-on and its database.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { isolateHome, addonPath, runEngine, waitFor } = require('./support/engine');

const env = isolateHome();
const engine = require(addonPath());
const database = path.join(env.dataDir, 'bxsync.db');

const sql = (statement) => execFileSync('sqlite3', ['-cmd', '.timeout 5000', database, statement], { encoding: 'utf8' }).trim();

// What a list does to the database is tst_syncmodeapplication's; here the add-on's path queries.
test('the path of a synchronised item', async () => {
  await runEngine(engine, async () => {
    engine.setFileLibraries('[{"teamId":"team1","tenantId":"t1","tenantName":"Acme","id":"11","name":"Photos"}]');
    await waitFor(() => fs.existsSync(database) && sql('SELECT COUNT(*) FROM Libraries') === '1', 5000, 'the library');
    // Never synchronised yet: no local folder, so no path.
    assert.equal(engine.getSyncedItemPath('t1', '11'), '');
  });

  // As if the engine had created the library folder and one folder in it, on disk as well: the
  // start-up comparison would take a missing library folder for one the user deleted.
  fs.mkdirSync(path.join(env.home, 'Acme', 'Photos', "Trip '24"), { recursive: true });
  sql("UPDATE Libraries SET ClientName='Acme/Photos', ServerStatus=1 WHERE ServerId=11");
  const libraryClientId = sql('SELECT ClientId FROM Libraries WHERE ServerId=11');
  sql(`INSERT INTO Folders (ClientId,ServerId,ClientName,ServerName,ParentClientId,LibraryClientId,ServerStatus,ClientStatus,Attr)
       VALUES (1000,700,'Trip ''24','Trip ''24',${libraryClientId},${libraryClientId},'1','1',0)`);

  await runEngine(engine, async () => {
    const store = env.readConfig().sync.syncFolder;
    assert.equal(store, env.home);
    assert.equal(engine.getSyncedItemPath('t1', '700'), `${store}/Acme/Photos/Trip '24`);
    assert.equal(engine.getSyncedItemPath('t1', '11'), `${store}/Acme/Photos`);
    assert.equal(engine.getSyncedItemPath('t2', '700'), '');
    assert.equal(engine.getSyncedItemPath('t1', 'abc'), '');
    assert.equal(engine.getSyncedItemPath(), '');
  });
  assert.equal(engine.getSyncedItemPath('t1', '700'), '');
});
