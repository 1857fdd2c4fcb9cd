'use strict';

const fs = require('node:fs');
const fsp = require('node:fs/promises');
const path = require('node:path');
const crypto = require('node:crypto');
const { Readable, Writable } = require('node:stream');
const { pipeline } = require('node:stream/promises');

// File bodies live once per SHA-1 under content/; uploads land in tmp/ first
// and are renamed into place only when the transfer was complete.
class ContentStore {
  constructor(dataDir) {
    this.dir = path.join(dataDir, 'content');
    this.tmpDir = path.join(dataDir, 'tmp');
    fs.mkdirSync(this.dir, { recursive: true });
    fs.rmSync(this.tmpDir, { recursive: true, force: true });
    fs.mkdirSync(this.tmpDir, { recursive: true });
  }

  pathOf(hash) {
    return path.join(this.dir, hash.slice(0, 2), hash);
  }

  // Streams `source` to a temporary file while hashing, counting and looking
  // for the antivirus marker. Bytes past `limit` are counted but not kept, so
  // a lying length header cannot fill the disk. Resolves {hash, size,
  // virusFound, temp}; the caller must commit() or discard() the temp file.
  async ingest(source, { limit = Infinity, marker = '' } = {}) {
    const temp = path.join(this.tmpDir, crypto.randomBytes(12).toString('hex'));
    const sha1 = crypto.createHash('sha1');
    const needle = marker ? Buffer.from(marker, 'utf8') : null;
    let tail = Buffer.alloc(0);
    let size = 0;
    let virusFound = false;
    const file = fs.createWriteStream(temp);
    const sink = new Writable({
      write(chunk, _enc, done) {
        const room = limit - size;
        size += chunk.length;
        if (room <= 0) return done();
        const kept = room < chunk.length ? chunk.subarray(0, room) : chunk;
        sha1.update(kept);
        if (needle && !virusFound) {
          const window = Buffer.concat([tail, kept]);
          if (window.indexOf(needle) !== -1) virusFound = true;
          tail = window.subarray(Math.max(0, window.length - needle.length + 1));
        }
        if (!file.write(kept)) file.once('drain', done);
        else done();
      },
      final(done) {
        file.end(done);
      },
    });
    try {
      await pipeline(source, sink);
    } catch (err) {
      file.destroy();
      await fsp.rm(temp, { force: true });
      return { error: err };
    }
    return { hash: sha1.digest('hex'), size, virusFound, temp };
  }

  async commit(temp, hash) {
    const target = this.pathOf(hash);
    await fsp.mkdir(path.dirname(target), { recursive: true });
    if (fs.existsSync(target)) await fsp.rm(temp, { force: true });
    else await fsp.rename(temp, target);
  }

  async discard(temp) {
    if (temp) await fsp.rm(temp, { force: true });
  }

  open(hash) {
    return fs.createReadStream(this.pathOf(hash));
  }

  // Drops bodies no file refers to any more; run at start-up only.
  collectGarbage(referenced) {
    let removed = 0;
    for (const bucket of fs.readdirSync(this.dir)) {
      const bucketDir = path.join(this.dir, bucket);
      for (const name of fs.readdirSync(bucketDir)) {
        if (!referenced.has(name)) {
          fs.rmSync(path.join(bucketDir, name), { force: true });
          removed += 1;
        }
      }
    }
    return removed;
  }
}

// Deterministic filler for large test files without holding them in memory.
function generatedStream(size, seed = 1) {
  let state = (seed >>> 0) || 0x9e3779b9;
  let left = size;
  return new Readable({
    read() {
      if (left <= 0) return this.push(null);
      const n = Math.min(left, 65536);
      const buf = Buffer.allocUnsafe(Math.ceil(n / 4) * 4);
      for (let i = 0; i < buf.length; i += 4) {
        state ^= state << 13; state >>>= 0;
        state ^= state >>> 17;
        state ^= state << 5; state >>>= 0;
        buf.writeUInt32LE(state, i);
      }
      left -= n;
      this.push(buf.subarray(0, n));
    },
  });
}

function repeatedStream(text, size) {
  const unit = Buffer.from(text, 'utf8');
  let left = size;
  return new Readable({
    read() {
      if (left <= 0 || unit.length === 0) return this.push(null);
      // Whole units per chunk keep the pattern seamless across chunks.
      const n = Math.min(left, Math.max(unit.length, Math.floor(65536 / unit.length) * unit.length));
      left -= n;
      this.push(Buffer.alloc(n, unit));
    },
  });
}

module.exports = { ContentStore, generatedStream, repeatedStream };
