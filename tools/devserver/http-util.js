'use strict';

const { Readable } = require('node:stream');

// Reads a small body; past `limit` the rest is drained and dropped so the
// connection can still carry the error answer.
function readBody(req, limit) {
  return new Promise((resolve) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size <= limit) chunks.push(chunk);
    });
    req.on('end', () => resolve(size > limit ? { tooLarge: true, size } : { body: Buffer.concat(chunks), size }));
    req.on('error', (err) => resolve({ error: err, size }));
  });
}

function drain(req) {
  return new Promise((resolve) => {
    if (req.readableEnded) return resolve(0);
    let size = 0;
    req.on('data', (chunk) => { size += chunk.length; });
    req.on('end', () => resolve(size));
    req.on('error', () => resolve(size));
    req.resume();
  });
}

// Resolves true after `ms`, or false as soon as the peer goes away.
function sleep(ms, res) {
  return new Promise((resolve) => {
    const onClose = () => { clearTimeout(timer); resolve(false); };
    const timer = setTimeout(() => { res.off('close', onClose); resolve(true); }, ms);
    res.once('close', onClose);
  });
}

const jsonReply = (status, value, headers = {}) => ({
  status,
  headers: { 'content-type': 'application/json', ...headers },
  body: Buffer.from(JSON.stringify(value)),
});

const textReply = (status, text, headers = {}) => ({
  status,
  headers: { 'content-type': 'text/plain; charset=utf-8', ...headers },
  body: Buffer.from(text),
});

// Writes at most `max` bytes of `source`, then calls done(sentAll).
function pump(source, res, max, done) {
  let sent = 0;
  let finished = false;
  const finish = (all) => {
    if (!finished) { finished = true; done(all); }
  };
  if (max <= 0) {
    source.destroy();
    return finish(false);
  }
  source.on('data', (chunk) => {
    if (sent + chunk.length >= max) {
      const part = chunk.subarray(0, max - sent);
      sent = max;
      source.destroy();
      res.write(part, () => finish(false));
      return;
    }
    sent += chunk.length;
    if (!res.write(chunk)) {
      source.pause();
      res.once('drain', () => source.resume());
    }
  });
  source.on('end', () => finish(true));
  source.on('error', () => res.destroy());
  res.on('close', () => source.destroy());
}

// The body `bytes` at a time, one piece every `everyMs`: a slow but live peer.
async function* dripped(source, bytes, everyMs) {
  for await (const chunk of source) {
    for (let at = 0; at < chunk.length; at += bytes) {
      yield chunk.subarray(at, at + bytes);
      await new Promise((resolve) => { setTimeout(resolve, everyMs); });
    }
  }
}

// The body followed by `fill` up to exactly `size` bytes; a longer body stays as it is.
async function* paddedChunks(source, size, fill) {
  let sent = 0;
  for await (const chunk of source) {
    sent += chunk.length;
    yield chunk;
  }
  while (sent < size) {
    const block = Buffer.alloc(Math.min(size - sent, 1 << 20), fill);
    sent += block.length;
    yield block;
  }
}

// Sends a reply {status, headers, body: Buffer | Readable, length?}, shaped
// by a response fault (stall, drop, truncate, drip, pad) when one is given.
function deliver(res, reply, fault) {
  if (res.destroyed || res.headersSent) return;
  const isBuffer = Buffer.isBuffer(reply.body);
  const length = isBuffer ? reply.body.length : reply.length;
  const source = isBuffer ? Readable.from([reply.body]) : reply.body;
  const headers = { ...reply.headers };
  if (length !== undefined) headers['content-length'] = String(length);
  // A header fault rewrites the answer's headers last; null removes one
  // (without content-length the body goes chunked).
  for (const [name, value] of Object.entries(reply.headerOverrides || {})) {
    const key = name.toLowerCase();
    if (value === null) delete headers[key];
    else headers[key] = value;
  }

  if (fault && fault.type === 'stall') {
    source.destroy();
    res.writeHead(reply.status, headers);
    res.flushHeaders();
    return;
  }
  if (fault && fault.type === 'drop') {
    if (fault.headers === false) {
      source.destroy();
      res.socket?.destroy();
      return;
    }
    res.writeHead(reply.status, headers);
    res.flushHeaders();
    pump(source, res, fault.afterBytes || 0, () => res.socket?.destroy());
    return;
  }
  if (fault && fault.type === 'pad') {
    const padded = Readable.from(paddedChunks(source, fault.size, fault.fill || ' '));
    if (length !== undefined && !fault.chunked) headers['content-length'] = String(Math.max(length, fault.size));
    else delete headers['content-length'];
    res.writeHead(reply.status, headers);
    padded.on('error', () => res.destroy());
    res.on('close', () => padded.destroy());
    padded.pipe(res);
    return;
  }
  if (fault && fault.type === 'truncate') {
    const cut = fault.bytes !== undefined ? fault.bytes : Math.floor((length === undefined ? 32 : length) / 2);
    if (fault.consistentLength) {
      if (length !== undefined) headers['content-length'] = String(Math.min(cut, length));
      res.writeHead(reply.status, headers);
      pump(source, res, cut, () => res.end());
      return;
    }
    headers.connection = 'close';
    res.writeHead(reply.status, headers);
    res.flushHeaders();
    // A clean close after fewer bytes than announced.
    pump(source, res, cut, () => res.socket?.end());
    return;
  }
  if (fault && fault.type === 'drip') {
    res.writeHead(reply.status, headers);
    res.flushHeaders();
    const slow = Readable.from(dripped(source, fault.bytes || 1024, fault.everyMs || 100));
    slow.on('error', () => res.destroy());
    res.on('close', () => { slow.destroy(); source.destroy(); });
    slow.pipe(res);
    return;
  }
  res.writeHead(reply.status, headers);
  if (isBuffer) {
    res.end(reply.body);
    return;
  }
  source.on('error', () => res.destroy());
  res.on('close', () => source.destroy());
  source.pipe(res);
}

module.exports = { readBody, drain, sleep, jsonReply, textReply, deliver };
