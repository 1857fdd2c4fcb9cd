'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { Readable } = require('node:stream');
const { isError } = require('./errors');
const { generatedStream } = require('./content');

const LONG_NAME = `${'A fairly long file name that keeps going '.repeat(5).trim()} to reach the limits.txt`;

const text = (s) => ({ text: s });
const random = (size, seed) => ({ size, seed });

// Two libraries with names that tend to break clients: blanks, accents,
// other scripts, a long name, an empty file and an empty folder.
const DEMO = {
  tenant: { id: 'demo', name: 'Demo Company' },
  libraries: [
    {
      team: 'Everyone',
      name: 'Documents',
      files: {
        'Read me.txt': text('Welcome to the demo library.\nFiles here are synchronised both ways.\n'),
        'Empty file.dat': text(''),
        'Příliš žluťoučký kůň.txt': text('Příliš žluťoučký kůň úpěl ďábelské ódy.\n'),
        [LONG_NAME]: text('A file whose name is long.\n'),
        'Reports/2023 Annual report.pdf': random(307200, 11),
        'Reports/Q1/summary.csv': text('month,revenue\nJanuary,100\nFebruary,120\nMarch,130\n'),
        '日本語/メモ.md': text('# メモ\n\n日本語のファイル名です。\n'),
      },
      folders: ['Reports/Q2'],
    },
    {
      team: 'Engineering',
      name: 'Projects',
      files: {
        'Alpha/design notes.md': text('# Alpha\n\nDesign notes.\n'),
        'Alpha/assets/logo.png': random(51200, 23),
        'Beta/data.bin': random(2 * 1024 * 1024, 37),
        'Ünïcødé folder/naïve café.txt': text('Un café naïf.\n'),
      },
      folders: ['Archive'],
    },
  ],
};

async function addFile(store, content, lib, filePath, source) {
  const stream = source.text !== undefined ? Readable.from([Buffer.from(source.text, 'utf8')]) : generatedStream(source.size, source.seed);
  const got = await content.ingest(stream);
  if (got.error) return got.error;
  await content.commit(got.temp, got.hash);
  const parts = filePath.split('/');
  const name = parts.pop();
  const parent = parts.length ? store.resolvePath(lib, parts.join('/'), { create: true }) : lib;
  if (isError(parent)) return parent;
  return store.addFile(lib, parent.id, name, { hash: got.hash, size: got.size });
}

async function seedDemo(store, content) {
  const tenant = store.createTenant(DEMO.tenant);
  if (isError(tenant)) return tenant;
  const teams = new Map();
  for (const desc of DEMO.libraries) {
    if (!teams.has(desc.team)) teams.set(desc.team, store.createTeam(tenant, { name: desc.team }));
    const lib = store.createLibrary(tenant, { teamId: teams.get(desc.team).id, name: desc.name });
    if (isError(lib)) return lib;
    for (const folder of desc.folders) store.resolvePath(lib, folder, { create: true });
    for (const [filePath, source] of Object.entries(desc.files)) {
      const file = await addFile(store, content, lib, filePath, source);
      if (isError(file) || file instanceof Error) return file;
    }
  }
  store.seeded = { name: 'demo', tenantId: tenant.id };
  store.save();
  return tenant;
}

// The two JSON texts the host hands the engine, rewritten on every start
// because the port may change.
function writeSessionFiles(store, dataDir, hostname) {
  const tenant = store.tenants.get(store.seeded.tenantId);
  if (!tenant) return null;
  const user = store.users.get(store.defaultUser);
  const session = {
    userLoginName: user.login,
    userFullName: user.fullName,
    userGuid: user.guid,
    serverHostname: hostname,
    accessToken: store.defaultToken(),
  };
  const libraries = store.librariesOf(tenant.id).map((lib) => ({
    teamId: lib.teamId, tenantId: tenant.id, tenantName: tenant.name, id: lib.id, name: lib.name,
  }));
  const files = { session: path.join(dataDir, 'session.json'), fileLibraries: path.join(dataDir, 'file-libraries.json') };
  fs.writeFileSync(files.session, `${JSON.stringify(session, null, 2)}\n`);
  fs.writeFileSync(files.fileLibraries, `${JSON.stringify(libraries, null, 2)}\n`);
  return files;
}

module.exports = { seedDemo, writeSessionFiles };
