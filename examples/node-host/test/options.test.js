'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { parseOptions } = require('../host');

test('options', () => {
  const defaults = parseOptions([]);
  assert.strictEqual(defaults.seconds, 5);
  assert.strictEqual(defaults.key, 49);
  assert.deepStrictEqual(defaults.modifiers, ['control']);
  assert.match(defaults.build, /build$/);

  const set = parseOptions(['--seconds', '2.5', '--key', 'none', '--modifiers', 'control,option',
    '--exclude-pid', '7', '--exclude-pid', '8', '--build', '/b', '--out', 'x.wav']);
  assert.deepStrictEqual(
    { seconds: set.seconds, key: set.key, modifiers: set.modifiers, pids: set.excludePids, build: set.build, out: set.out },
    { seconds: 2.5, key: null, modifiers: ['control', 'option'], pids: [7, 8], build: '/b', out: 'x.wav' });
  assert.deepStrictEqual(parseOptions(['--modifiers', '']).modifiers, []);
});

test('bad options are refused', () => {
  const bad = [
    [['--seconds', '0'], /positive/],
    [['--seconds', 'x'], /positive/],
    [['--key', '4.5'], /integer/],
    [['--modifiers', 'control,hyper'], /unknown modifier hyper/],
    [['--out'], /needs a value/],
    [['--loud'], /unknown argument/],
    [['--exclude-pid', 'me'], /integer/],
  ];
  for (const [argv, message] of bad) assert.throws(() => parseOptions(argv), message, argv.join(' '));
});
