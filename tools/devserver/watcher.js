'use strict';

const crypto = require('node:crypto');
const { E } = require('./errors');

// Long-poll watch calls. A watcher token (wat) is an HMAC over the library
// and its token epoch, so it survives restarts and a revocation is one
// counter bump.
class Watcher {
  constructor(store) {
    this.store = store;
    this.pending = new Set();
    store.on('libraryChanged', (lib) => this.notify(lib));
  }

  issue(lib) {
    return crypto.createHmac('sha256', this.store.watSecret)
      .update(`${lib.tenantId}/${lib.id}/${lib.watEpoch}`)
      .digest('base64url')
      .slice(0, 32);
  }

  // The library record a token was issued for, deleted ones included.
  libraryForWat(item) {
    const lib = this.store.libraries.get(item.itemId);
    if (!lib || lib.tenantId !== item.tenantId) return null;
    const expected = Buffer.from(this.issue(lib));
    const given = Buffer.from(item.wat);
    return expected.length === given.length && crypto.timingSafeEqual(expected, given) ? lib : null;
  }

  changedOf(items) {
    return items
      .filter((item) => {
        const lib = this.store.libraries.get(item.itemId);
        return !lib || lib.deleted || lib.state !== item.state;
      })
      .map((item) => ({ itemId: item.itemId, tenantId: item.tenantId }));
  }

  // Resolves the result, an ApiError, or undefined when the peer left.
  watch(ctx, items) {
    for (const item of items) {
      if (!this.libraryForWat(item)) return E.denied(`watcher token for library ${item.itemId} in tenant ${item.tenantId} is not valid`);
    }
    const changed = this.changedOf(items);
    const holdMs = this.store.settings.holdMs;
    if (changed.length || holdMs === 0) return { changedItemsList: changed };
    return new Promise((resolve) => {
      const waiter = { items: new Set(items.map((i) => i.itemId)) };
      const finish = (value) => {
        clearTimeout(timer);
        ctx.res.off('close', onClose);
        this.pending.delete(waiter);
        resolve(value);
      };
      const onClose = () => finish(undefined);
      const timer = setTimeout(() => finish({ changedItemsList: this.changedOf(items) }), holdMs);
      waiter.wake = () => finish({ changedItemsList: this.changedOf(items) });
      ctx.res.once('close', onClose);
      this.pending.add(waiter);
    });
  }

  notify(lib) {
    for (const waiter of [...this.pending]) {
      if (waiter.items.has(lib.id)) waiter.wake();
    }
  }

  // Held calls answer with what they have, so a stopping server leaves no peer hanging.
  releaseAll() {
    for (const waiter of [...this.pending]) waiter.wake();
  }

  heldCount() {
    return this.pending.size;
  }
}

module.exports = { Watcher };
