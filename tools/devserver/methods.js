'use strict';

const { E, isError } = require('./errors');
const { iso, nameProblem } = require('./store');

const POLICIES = ['RENAME_ON_CONFLICT', 'ERROR_ON_CONFLICT', 'FILENAME_NOT_SIGNIFICANT'];
const WRITERS = ['Editor', 'Admin'];

// A result whose JSON text is produced piece by piece (hierarchies can be
// far larger than anything worth building as one string).
class StreamedResult {
  constructor(chunks) {
    this.chunks = chunks;
  }
}

// ---- shared checks ---------------------------------------------------------

function tenantOf(ctx, tenantId) {
  return ctx.store.tenants.get(tenantId) || E.tenant(tenantId);
}

// The library named by "tenantId"/"id", provided the caller may `need` it.
function libraryFor(ctx, tenantId, libraryId, need) {
  const tenant = tenantOf(ctx, tenantId);
  if (isError(tenant)) return tenant;
  const lib = ctx.store.library(tenantId, libraryId);
  if (!lib) return E.notFound(`library ${libraryId} not found in tenant ${tenantId}`);
  const problem = roleProblem(ctx, lib, need);
  return problem || lib;
}

function roleProblem(ctx, lib, need) {
  const role = ctx.store.roleOf(lib, ctx.user.login);
  if (need === 'write' && !WRITERS.includes(role)) return E.denied(`role ${role} may not change library ${lib.id}`);
  if (need === 'read' && role === 'None') return E.denied(`no access to library ${lib.id}`);
  return null;
}

function stateProblem(ctx, lib, state) {
  if (!ctx.store.settings.checkLibraryState || state === lib.state) return null;
  return E.stale(`library ${lib.id} is at state ${lib.state}, not ${state}`);
}

// Library first, then the caller's rights, then the state it claims to know.
function writableLibrary(ctx, p) {
  const lib = libraryFor(ctx, p.tenantId, p.id, 'write');
  if (isError(lib)) return lib;
  return stateProblem(ctx, lib, p.state) || lib;
}

function quotaProblem(ctx, lib, extraBytes) {
  const tenant = ctx.store.tenants.get(lib.tenantId);
  if (tenant.quota === null) return null;
  const used = ctx.store.tenantUsage(tenant.id);
  if (used + extraBytes <= tenant.quota) return null;
  return E.quota(`tenant ${tenant.id} would use ${used + extraBytes} of ${tenant.quota} bytes`);
}

function itemOf(ctx, lib, id, type) {
  const item = ctx.store.item(lib, id);
  if (!item || (type && item.type !== type)) return E.notFound(`${type || 'item'} ${id} not found in library ${lib.id}`);
  return item;
}

function fileRecord(file) {
  return {
    id: file.id,
    state: file.state,
    name: file.name,
    createdTime: iso(file.created),
    modifiedTime: iso(file.modified),
    fileSize: file.size,
    contentHash: file.hash,
    parentId: file.parentId,
  };
}

function watcherInfo(ctx, lib) {
  return { wat: ctx.watcher.issue(lib), watcherHostname: lib.watcherHostname || ctx.hostname, changedId: lib.changedId };
}

// ---- hierarchy -------------------------------------------------------------

function dashify(name) {
  return name.toLowerCase().replace(/[^\p{L}\p{N}]+/gu, '-').replace(/^-+|-+$/g, '');
}

function* hierarchyChunks(ctx, lib) {
  const { store } = ctx;
  const team = store.teams.get(lib.teamId);
  const tenant = store.tenants.get(lib.tenantId);
  const chain = [
    { id: team.id, pid: '0', type: 'team', subType: 'team', name: team.name, dashifiedName: dashify(team.name), pinIndex: 0 },
    { id: lib.id, pid: team.id, type: 'fileLibrary', subType: 'files', name: lib.name, dashifiedName: dashify(lib.name), pinIndex: 0 },
  ];
  let buffer = `{"hierarchy":{"id":"${lib.id}","state":${JSON.stringify(lib.state)},"tenantId":${JSON.stringify(tenant.id)},`
    + `"tenantName":${JSON.stringify(tenant.name)},"chain":${JSON.stringify(chain)},`;
  const stack = [{ parts: splitChildren(store, lib.id), stage: 0 }];
  // An explicit stack keeps deep trees off the call stack.
  while (stack.length) {
    const top = stack[stack.length - 1];
    if (top.stage === 0) {
      buffer += `"files":[${top.parts.files.map((f) => JSON.stringify({
        id: f.id, state: f.state, name: f.name, createdTime: iso(f.created), modifiedTime: iso(f.modified),
        contentHash: f.hash, fileSize: f.size,
      })).join(',')}],"folders":[`;
      top.stage = 1;
      top.next = 0;
    }
    if (top.next < top.parts.folders.length) {
      const folder = top.parts.folders[top.next];
      buffer += `${top.next ? ',' : ''}{"id":"${folder.id}","name":${JSON.stringify(folder.name)},"modifiedTime":"${iso(folder.modified)}",`;
      top.next += 1;
      stack.push({ parts: splitChildren(store, folder.id), stage: 0 });
    } else {
      stack.pop();
      buffer += ']}';
    }
    if (buffer.length >= 65536) {
      yield buffer;
      buffer = '';
    }
  }
  const extra = watcherInfo(ctx, lib);
  buffer += `,"wat":${JSON.stringify(extra.wat)},"watcherHostname":${JSON.stringify(extra.watcherHostname)},"changedId":${extra.changedId}}`;
  yield buffer;
}

function splitChildren(store, parentId) {
  const files = [];
  const folders = [];
  for (const item of store.children(parentId)) (item.type === 'file' ? files : folders).push(item);
  const byName = (a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
  return { files: files.sort(byName), folders: folders.sort(byName) };
}

// ---- methods ---------------------------------------------------------------

function getRole(ctx, p) {
  const tenant = tenantOf(ctx, p.tenantId);
  if (isError(tenant)) return tenant;
  let lib = ctx.store.library(p.tenantId, p.itemId);
  if (!lib) {
    const item = ctx.store.items.get(p.itemId);
    lib = item ? ctx.store.library(p.tenantId, item.libraryId) : null;
  }
  if (!lib) return E.notFound(`item ${p.itemId} not found in tenant ${p.tenantId}`);
  return { role: ctx.store.roleOf(lib, ctx.user.login) };
}

function getHierarchy(ctx, p) {
  const lib = libraryFor(ctx, p.tenantId, p.id, 'read');
  if (isError(lib)) return lib;
  return new StreamedResult(hierarchyChunks(ctx, lib));
}

function mkDir(ctx, p) {
  const lib = writableLibrary(ctx, p);
  if (isError(lib)) return lib;
  if (!ctx.store.container(lib, p.parentId)) return E.notFound(`parent folder ${p.parentId} not found in library ${lib.id}`);
  const bad = nameProblem(p.folderName);
  if (bad) return E.params(bad);
  const holder = ctx.store.childNamed(p.parentId, p.folderName);
  if (holder) {
    if (holder.type !== 'folder') return E.exists(`a file named ${JSON.stringify(p.folderName)} is in the way`);
    // The id goes along so the caller can adopt the folder that is there.
    const err = E.exists(`folder ${JSON.stringify(p.folderName)} already exists`, { newFolderId: holder.id });
    err.result = { newFolderId: holder.id, newState: lib.state };
    return err;
  }
  // Folders cost nothing, but a tenant already over its quota gets no more.
  const over = quotaProblem(ctx, lib, 0);
  if (over) return over;
  const folder = ctx.store.addFolder(lib, p.parentId, p.folderName);
  if (isError(folder)) return folder;
  return { newState: lib.state, newFolderId: folder.id };
}

function rmDir(ctx, p) {
  const lib = writableLibrary(ctx, p);
  if (isError(lib)) return lib;
  if (p.folderId === lib.id) return E.notPermitted('the library root cannot be removed');
  const folder = itemOf(ctx, lib, p.folderId, 'folder');
  if (isError(folder)) return folder;
  ctx.store.remove(lib, folder);
  return { newState: lib.state };
}

function removeFile(ctx, p) {
  const lib = writableLibrary(ctx, p);
  if (isError(lib)) return lib;
  const file = itemOf(ctx, lib, p.fileId, 'file');
  if (isError(file)) return file;
  if (file.state !== p.fileState) return E.stale(`file ${file.id} is at state ${file.state}, not ${p.fileState}`);
  ctx.store.remove(lib, file);
  return { newState: lib.state };
}

function movableItem(ctx, lib, id) {
  if (id === lib.id) return E.notPermitted('the library root cannot be renamed or moved here');
  return itemOf(ctx, lib, id);
}

function rename(ctx, p) {
  const lib = writableLibrary(ctx, p);
  if (isError(lib)) return lib;
  const item = movableItem(ctx, lib, p.fileId);
  if (isError(item)) return item;
  const done = ctx.store.rename(lib, item, p.newName);
  return isError(done) ? done : { newState: lib.state };
}

function move(ctx, p) {
  const lib = writableLibrary(ctx, p);
  if (isError(lib)) return lib;
  const item = movableItem(ctx, lib, p.fileId);
  if (isError(item)) return item;
  const done = ctx.store.move(lib, item, p.newParentId);
  return isError(done) ? done : { newState: lib.state };
}

function getFile(ctx, p) {
  const tenant = tenantOf(ctx, p.tenantId);
  if (isError(tenant)) return tenant;
  const file = ctx.store.items.get(p.fileId);
  const lib = file && file.type === 'file' ? ctx.store.library(p.tenantId, file.libraryId) : null;
  if (!lib) return E.notFound(`file ${p.fileId} not found in tenant ${p.tenantId}`);
  const problem = roleProblem(ctx, lib, 'read');
  return problem || { file: fileRecord(file) };
}

function getWatcherAuthenticationToken(ctx, p) {
  const lib = libraryFor(ctx, p.tenantId, p.id, 'read');
  if (isError(lib)) return lib;
  const info = watcherInfo(ctx, lib);
  return { wat: info.wat, state: lib.state, tenantId: lib.tenantId, changedId: info.changedId, watcherHostname: info.watcherHostname };
}

// What an upload of `size` bytes into `parentId` under `name` would meet;
// shared by the feasibility calls and the upload itself.
function createProblem(ctx, lib, parentId, name, size, policy) {
  if (!ctx.store.container(lib, parentId)) return E.notFound(`parent folder ${parentId} not found in library ${lib.id}`);
  const bad = nameProblem(name);
  if (bad) return E.params(bad);
  if (policy === 'ERROR_ON_CONFLICT' && ctx.store.childNamed(parentId, name)) return E.exists(`${JSON.stringify(name)} already exists in the folder`);
  return quotaProblem(ctx, lib, size);
}

function updateProblem(ctx, lib, file, fileState, size, policy) {
  if (file.state !== fileState && policy !== 'RENAME_ON_CONFLICT' && policy !== 'FILENAME_NOT_SIGNIFICANT') {
    return E.stale(`file ${file.id} is at state ${file.state}, not ${fileState}`);
  }
  // An outdated update is kept as a copy next to the file, so it costs its full size.
  return quotaProblem(ctx, lib, file.state === fileState ? size - file.size : size);
}

function canCreateFile(ctx, p) {
  const lib = writableLibrary(ctx, p);
  if (isError(lib)) return lib;
  return createProblem(ctx, lib, p.parentId, p.filename, Number(p.fileSize), p.conflictPolicy) || {};
}

function canUpdateFile(ctx, p) {
  const lib = writableLibrary(ctx, p);
  if (isError(lib)) return lib;
  const file = itemOf(ctx, lib, p.fileId, 'file');
  if (isError(file)) return file;
  return updateProblem(ctx, lib, file, p.fileState, Number(p.fileSize), p.conflictPolicy) || {};
}

const LIB = { state: 'S', tenantId: 'S', id: 'D' };

// Method name -> where it is served, its params (S string, D decimal string,
// N non-negative decimal string, P conflict policy, W watch items) and
// whether the URL must carry the tenant.
const METHODS = {
  'Items.getRole': { endpoint: 'jsonrpc', tenantInUrl: 'optional', params: { tenantId: 'S', itemId: 'D' }, run: getRole },
  'FileSync.getHierarchy': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { tenantId: 'S', id: 'D' }, run: getHierarchy },
  'FileSync.mkDir': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { ...LIB, folderName: 'S', parentId: 'D' }, run: mkDir },
  'FileSync.rmDir': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { ...LIB, folderId: 'D' }, run: rmDir },
  'FileSync.removeFile': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { ...LIB, fileState: 'S', fileId: 'D' }, run: removeFile },
  'FileSync.rename': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { ...LIB, fileId: 'D', newName: 'S' }, run: rename },
  'FileSync.move': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { ...LIB, fileId: 'D', newParentId: 'D' }, run: move },
  'FileSync.getFile': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { tenantId: 'S', fileId: 'D' }, run: getFile },
  'FileSync.getWatcherAuthenticationToken': { endpoint: 'jsonrpc', tenantInUrl: 'required', params: { tenantId: 'S', id: 'D' }, run: getWatcherAuthenticationToken },
  'FileSync.canCreateFile': {
    endpoint: 'jsonrpc', tenantInUrl: 'required',
    params: { ...LIB, parentId: 'D', filename: 'S', fileSize: 'N', conflictPolicy: 'P' }, run: canCreateFile,
  },
  'FileSync.canUpdateFile': {
    endpoint: 'jsonrpc', tenantInUrl: 'required',
    params: { ...LIB, fileId: 'D', fileState: 'S', fileSize: 'N', conflictPolicy: 'P' }, run: canUpdateFile,
  },
  'Watcher.watch': { endpoint: 'watcher', tenantInUrl: 'none', params: { watchItems: 'W' }, run: (ctx, p) => ctx.watcher.watch(ctx, p.watchItems) },
};

module.exports = {
  METHODS, POLICIES, StreamedResult, libraryFor, stateProblem, createProblem, updateProblem, itemOf,
};
