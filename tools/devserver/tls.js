'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');

const OPENSSL = fs.existsSync('/usr/bin/openssl') ? '/usr/bin/openssl' : 'openssl';

function openssl(args, cwd) {
  try {
    execFileSync(OPENSSL, args, { cwd, stdio: ['ignore', 'ignore', 'pipe'] });
    return null;
  } catch (err) {
    const detail = err.stderr ? String(err.stderr).trim().split('\n').pop() : err.message;
    return `openssl ${args[0]} failed: ${detail}`;
  }
}

// A private CA plus a leaf for localhost and 127.0.0.1, made once per data
// directory so that clients can pin the CA file across restarts.
function ensureCertificates(dataDir) {
  const dir = path.join(dataDir, 'tls');
  const files = {
    caKey: path.join(dir, 'ca.key'),
    caFile: path.join(dir, 'ca.pem'),
    key: path.join(dir, 'server.key'),
    cert: path.join(dir, 'server.pem'),
  };
  const complete = Object.values(files).every((f) => fs.existsSync(f));
  if (!complete) {
    fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
    const ext = path.join(dir, 'server.ext');
    fs.writeFileSync(ext, [
      'basicConstraints=critical,CA:FALSE',
      'keyUsage=critical,digitalSignature,keyEncipherment',
      'extendedKeyUsage=serverAuth',
      'subjectAltName=DNS:localhost,IP:127.0.0.1',
      '',
    ].join('\n'));
    const steps = [
      ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
        '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '3650', '-subj', '/CN=bx devserver CA',
        '-addext', 'basicConstraints=critical,CA:TRUE',
        '-addext', 'keyUsage=critical,keyCertSign,cRLSign'],
      ['req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
        '-keyout', 'server.key', '-out', 'server.csr', '-subj', '/CN=localhost'],
      ['x509', '-req', '-in', 'server.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key',
        '-CAcreateserial', '-out', 'server.pem', '-days', '825', '-extfile', 'server.ext'],
    ];
    for (const step of steps) {
      const problem = openssl(step, dir);
      if (problem) return { error: problem };
    }
    for (const leftover of ['server.csr', 'server.ext', 'ca.srl']) fs.rmSync(path.join(dir, leftover), { force: true });
  }
  return {
    caFile: files.caFile,
    key: fs.readFileSync(files.key),
    cert: fs.readFileSync(files.cert),
  };
}

module.exports = { ensureCertificates };
