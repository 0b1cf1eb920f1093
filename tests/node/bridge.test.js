// The callback bridge: its argument errors, one published handle, and native threads calling
// back into JavaScript through it (with null data and with a callable).
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { addon, testAddon, waitFor } = require('./support');

const bridge = addon('libNodeBridge');
const poster = testAddon('TsfnPoster');

test('start takes exactly one function', () => {
  assert.deepEqual(Object.keys(bridge), ['start']);
  for (const [args, message] of [[[], 'Expected one argument'], [[() => {}, () => {}], 'Expected one argument'],
                                 [[42], 'Expected first arg to be function']])
    assert.throws(() => bridge.start(...args), (e) => e instanceof TypeError && e.message === message, message);
});

test('native threads call the latest callback on the JavaScript thread', async () => {
  const first = [];
  const address = bridge.start((...args) => first.push(args));
  assert.match(address, /^0x[0-9a-f]+$/);
  const calls = [];
  assert.equal(bridge.start((...args) => calls.push(args)), address, 'the same variable holds the new handle');

  poster.post(address, 3, 4); // three posts with null data, then four callables
  assert.ok(await waitFor(() => calls.length === 7, 30), `${calls.length} calls`);
  assert.deepEqual(calls.slice(0, 3), [[], [], []], 'null data: the callback with no arguments');
  assert.deepEqual(calls.slice(3), [[0, false], [1, false], [2, false], [3, false]], 'each callable once, in order, not on the posting thread');
  assert.equal(first.length, 0, 'the replaced callback is not called');
  // The poster has released the handle it used; replacing it now must not touch freed memory.
  const third = [];
  assert.equal(bridge.start(() => third.push(1)), address);
  poster.post(address, 1, 0);
  assert.ok(await waitFor(() => third.length === 1, 30), 'the third callback runs');
});
