'use strict';

const fs = require('node:fs');
const path = require('node:path');
const https = require('node:https');
const { ensureCertificates } = require('./tls');
const { Store } = require('./store');
const { ContentStore } = require('./content');
const { Watcher } = require('./watcher');
const { Faults } = require('./faults');
const { RequestLog, Violations } = require('./reqlog');
const { AdminApi } = require('./admin');
const { handleRpc } = require('./rpc');
const { handleDownload, handleUpload } = require('./transfer');
const { seedDemo, writeSessionFiles } = require('./seed');
const { drain, textReply, deliver } = require('./http-util');
const { isError } = require('./errors');

const LOOPBACK = new Map([['127.0.0.1', '127.0.0.1'], ['localhost', '127.0.0.1']]);

function route(pathname) {
  if (pathname === '/api/app/jsonrpc') return { endpoint: 'jsonrpc' };
  if (pathname === '/api/watcher/jsonrpc') return { endpoint: 'watcher' };
  let m = /^\/([^/]+)\/file\/([^/]+)$/.exec(pathname);
  if (m) return { endpoint: 'download', tenant: m[1], fileId: m[2] };
  m = /^\/([^/]+)\/fileupload$/.exec(pathname);
  if (m) return { endpoint: 'upload', tenant: m[1] };
  return null;
}

function decode(part) {
  try {
    return decodeURIComponent(part);
  } catch {
    return part;
  }
}

function listen(server, host, port) {
  return new Promise((resolve) => {
    const onError = (err) => {
      server.off('listening', onListening);
      resolve({ error: err });
    };
    const onListening = () => {
      server.off('error', onError);
      resolve({ port: server.address().port });
    };
    server.once('error', onError);
    server.once('listening', onListening);
    server.listen(port, host);
  });
}

// Starts the server. Resolves {info, stop(), ...} or {error: text}.
async function startDevServer(options = {}) {
  const { dataDir, seed, quiet = false } = options;
  const host = options.host || '127.0.0.1';
  if (!dataDir) return { error: 'a data directory is required' };
  if (!LOOPBACK.has(host)) return { error: `refusing to listen on ${host}: only 127.0.0.1 (localhost) is allowed` };
  if (seed !== undefined && seed !== null && seed !== 'demo') return { error: `unknown seed ${JSON.stringify(seed)} (known: demo)` };
  fs.mkdirSync(dataDir, { recursive: true });

  const logStream = fs.createWriteStream(path.join(dataDir, 'server.log'), { flags: 'a' });
  // Everything goes to server.log; only notable lines also go to stderr.
  const log = (line, { fileOnly = false } = {}) => {
    logStream.write(`${new Date().toISOString()} ${line}\n`);
    if (!quiet && !fileOnly) process.stderr.write(`devserver: ${line}\n`);
  };
  logStream.on('error', (err) => { if (!quiet) process.stderr.write(`devserver: server.log: ${err.message}\n`); });
  const fail = async (error) => {
    log(`error: ${error}`);
    await new Promise((resolve) => logStream.end(resolve));
    return { error };
  };

  const tls = ensureCertificates(dataDir);
  if (tls.error) return fail(tls.error);
  const store = Store.open(dataDir);
  if (store.error) return fail(store.error);
  store.on('saveError', (err) => log(`error: state could not be saved: ${err.message}`));
  if (options.holdMs !== undefined) {
    const done = store.updateSettings({ holdMs: options.holdMs });
    if (isError(done)) return fail(done.message);
  }
  const content = new ContentStore(dataDir);
  const removed = content.collectGarbage(store.referencedHashes());
  if (removed) log(`removed ${removed} unreferenced content files`);
  if (seed === 'demo' && !store.seeded) {
    const seeded = await seedDemo(store, content);
    if (isError(seeded) || seeded instanceof Error) return fail(`seeding failed: ${seeded.message}`);
  }

  const self = {
    store, content, log,
    watcher: new Watcher(store),
    faults: new Faults(),
    requestLog: new RequestLog(),
    info: null,
  };
  self.violations = new Violations(log);
  const admin = new AdminApi(self);

  const handle = async (req, res) => {
    req.on('error', () => {});
    res.on('error', () => {});
    let url;
    try {
      url = new URL(req.url, 'https://devserver.invalid');
    } catch {
      await drain(req);
      return deliver(res, textReply(400, 'bad request target\n'));
    }
    if (url.pathname === '/admin' || url.pathname.startsWith('/admin/')) return admin.handle(req, res, url);

    const target = route(url.pathname);
    const entry = self.requestLog.begin(req, target ? target.endpoint : 'unknown', url);
    res.on('close', () => {
      entry.finish();
      const what = [entry.rpcMethod, entry.error, entry.fault && `fault:${entry.fault}`].filter(Boolean).join(' ');
      log(`${req.method} ${url.pathname} ${what ? `${what} ` : ''}-> ${entry.status === null ? 'no answer' : entry.status} (${entry.durationMs} ms)`, { fileOnly: true });
    });
    const ctx = { ...self, hostname: self.info.hostname, entry, res, user: null };
    const violation = async (status, reason) => {
      self.violations.add(entry, reason);
      await drain(req);
      entry.status = status;
      return deliver(res, textReply(status, `${reason}\n`));
    };
    if (!self.hostNames.has(req.headers.host)) return violation(400, `Host header ${JSON.stringify(req.headers.host || '')} does not name this server`);
    if (!target) return violation(404, `no endpoint at ${url.pathname}`);
    // The user's token is not the watcher's to see.
    if (target.endpoint === 'watcher' && /^Bearer\b/i.test(req.headers.authorization || '')) {
      return violation(400, 'a bearer token was sent to the watcher endpoint');
    }
    // Watch calls carry no session; the watcher token is their credential.
    if (target.endpoint !== 'watcher') {
      const m = /^Bearer (\S+)$/.exec(req.headers.authorization || '');
      ctx.user = m ? store.userForToken(m[1]) : null;
      if (!ctx.user) {
        log(`401: ${m ? 'unknown, expired or revoked' : 'no'} bearer token for ${req.method} ${url.pathname}`);
        await drain(req);
        entry.status = 401;
        return deliver(res, textReply(401, 'a valid bearer token is required\n', { 'www-authenticate': 'Bearer realm="bx"' }));
      }
    }
    if (target.endpoint === 'jsonrpc' || target.endpoint === 'watcher') return handleRpc(ctx, req, url, target.endpoint);
    if (target.endpoint === 'download') return handleDownload(ctx, req, decode(target.tenant), decode(target.fileId));
    return handleUpload(ctx, req, decode(target.tenant));
  };

  const server = https.createServer({
    key: tls.key,
    cert: tls.cert,
    minVersion: 'TLSv1.2',
    keepAliveTimeout: 30000,
    headersTimeout: 60000,
    requestTimeout: 0,
  }, (req, res) => {
    handle(req, res).catch((err) => {
      log(`error: ${req.method} ${req.url}: ${err.stack || err}`);
      if (!res.headersSent) deliver(res, textReply(500, 'internal error\n'));
      else res.destroy();
    });
  });
  server.on('tlsClientError', (err) => log(`tls: ${err.code || err.message}`));
  server.on('clientError', (err, socket) => {
    if (!String(err.code).startsWith('HPE_') || !socket.writable) return socket.destroy();
    log(`malformed HTTP request: ${err.code}`);
    return socket.end('HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n');
  });

  // Without an explicit port the last one is tried first, so a restarted
  // server keeps the address clients already know.
  let bound = { error: null };
  if (options.port === undefined && store.lastPort) bound = await listen(server, LOOPBACK.get(host), store.lastPort);
  if (options.port !== undefined || !store.lastPort || bound.error) bound = await listen(server, LOOPBACK.get(host), options.port || 0);
  if (bound.error) return fail(`cannot listen on ${host}:${options.port || 0}: ${bound.error.message}`);

  const port = bound.port;
  const hostname = `127.0.0.1:${port}`;
  self.hostNames = new Set([hostname, `localhost:${port}`]);
  store.lastPort = port;
  store.save();
  self.info = {
    url: `https://${hostname}`,
    hostname,
    port,
    caFile: tls.caFile,
    adminUrl: `https://${hostname}/admin`,
    token: store.defaultToken(),
    adminToken: store.adminToken,
  };
  if (store.seeded) {
    const files = writeSessionFiles(store, dataDir, hostname);
    if (files) log(`session files: ${files.session} ${files.fileLibraries}`);
  }
  fs.writeFileSync(path.join(dataDir, 'server.json'), `${JSON.stringify(self.info)}\n`);
  log(`listening on ${self.info.url}`);

  let stopping = null;
  self.stop = () => {
    if (!stopping) {
      stopping = (async () => {
        self.watcher.releaseAll();
        const closed = new Promise((resolve) => server.close(resolve));
        server.closeIdleConnections();
        const grace = setTimeout(() => server.closeAllConnections(), 300);
        await closed;
        clearTimeout(grace);
        await store.flush();
        log('stopped');
        await new Promise((resolve) => logStream.end(resolve));
      })();
    }
    return stopping;
  };
  self.server = server;
  return self;
}

module.exports = { startDevServer };
