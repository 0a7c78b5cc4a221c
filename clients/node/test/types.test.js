'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const { spawnSync } = require('child_process');

// types/host.ts uses the package under strict, exactOptionalPropertyTypes and
// noUncheckedIndexedAccess; its @ts-expect-error lines fail the build unless each is
// an error (a misspelt event, a listener of the wrong shape, "ctrl" as a modifier...).
test('a strict TypeScript host compiles, and its mistakes do not', () => {
  const tsc = require.resolve('typescript/bin/tsc');
  const result = spawnSync(process.execPath, [tsc, '-p', path.join(__dirname, 'types')], { encoding: 'utf8' });
  assert.strictEqual(result.status, 0, result.stdout + result.stderr);
});
