'use strict';
// Coalescing of engine callbacks on their way to the script thread. Uses the test build of the
// add-on, whose one extra function sends callbacks from the engine side back to back.
const test = require('node:test');
const assert = require('node:assert/strict');
const { isolateHome, addonPath, runEngine, waitFor, blockScriptThread } = require('./support/engine');

isolateHome();
const engine = require(addonPath('bx_sync_testhooks.node'));

test('callbacks that pile up reach the script once, with the latest state', async () => {
  await runEngine(engine, async (run) => {
    // Two progress texts before the script thread runs: one call, the second text.
    assert.equal(engine.sendCallbacksForTest('{"n":1}', '{"n":2}'), true);
    blockScriptThread(50);
    await waitFor(() => run.calls.progress.length >= 1, 5000, 'a progress call');
    await new Promise((r) => setTimeout(r, 100));
    assert.deepEqual(run.calls.progress, [['{"n":2}']]);

    // A session request pending together with a progress text is not swallowed by it.
    const sessionsBefore = run.calls.sessionRequests;
    engine.sendCallbacksForTest(null, '{"n":3}');
    blockScriptThread(50);
    await waitFor(() => run.calls.progress.length >= 2, 5000, 'the second progress call');
    await new Promise((r) => setTimeout(r, 100));
    assert.deepEqual(run.calls.progress[1], ['{"n":3}']);
    assert.equal(run.calls.sessionRequests, sessionsBefore + 1);

    // A lone session request is a call without arguments.
    engine.sendCallbacksForTest(null);
    await waitFor(() => run.calls.sessionRequests === sessionsBefore + 2, 5000, 'a session request');
  });
  assert.equal(engine.sendCallbacksForTest('{"late":1}'), false);
});
