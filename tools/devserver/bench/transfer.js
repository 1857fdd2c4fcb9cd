'use strict';

// Upload and download throughput of the devserver, and how far its memory
// grows meanwhile (bodies stream, so it should not track the file size).
// usage: node tools/devserver/bench/transfer.js [MiB=64]

const { startServer } = require('../client');
const { generatedStream } = require('../content');

async function main() {
  const mib = Number(process.argv[2] || 64);
  const size = mib * 1024 * 1024;
  const server = await startServer({ inProcess: true });
  let peakRss = process.memoryUsage().rss;
  const sampler = setInterval(() => { peakRss = Math.max(peakRss, process.memoryUsage().rss); }, 20);
  const baseRss = process.memoryUsage().rss;
  try {
    const { tenant, library } = await server.admin.setupLibrary();
    let started = process.hrtime.bigint();
    const up = await server.app.upload({
      tenantId: tenant.id, libraryId: library.id, state: library.state, parentId: library.id,
      filename: 'bench.bin', body: generatedStream(size, 7), length: size, headers: { 'content-length': String(size) },
    });
    const upMs = Number(process.hrtime.bigint() - started) / 1e6;
    if (!up.json || !up.json.result) throw new Error(`upload failed: ${up.body}`);

    started = process.hrtime.bigint();
    const down = await server.app.download(tenant.id, up.json.result.fileId);
    const downMs = Number(process.hrtime.bigint() - started) / 1e6;
    if (down.body.length !== size) throw new Error(`download returned ${down.body.length} bytes`);

    console.log(`size_mib ${mib}`);
    console.log(`upload_mib_per_s ${(mib / (upMs / 1000)).toFixed(1)}`);
    console.log(`download_mib_per_s ${(mib / (downMs / 1000)).toFixed(1)}`);
    // The client side buffers the downloaded body; subtract it to see the server's share.
    console.log(`rss_growth_mib_minus_downloaded_body ${((peakRss - baseRss - size) / 1048576).toFixed(1)}`);
  } finally {
    clearInterval(sampler);
    await server.stop();
  }
}

main().catch((err) => {
  console.error(err);
  process.exitCode = 1;
});
