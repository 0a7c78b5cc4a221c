'use strict';
// Where a helper is looked for, played in folder trees made for each case: the lookup
// module is copied into a package laid out as a host installs it (or as a checkout,
// or inside an Electron archive), next to fake helpers that are only files.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');

const NAME = 'vesk-audio-tap';
const PLATFORM = `vesk-helpers-${process.platform}-${process.arch}`;

/** A tree of `files` (relative path -> executable?) with binary.js at `lookupAt`. */
function tree(lookupAt, files) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vesk-lookup-'));
  const put = (rel, mode) => {
    fs.mkdirSync(path.dirname(path.join(root, rel)), { recursive: true });
    const text = rel.endsWith('.js') ? fs.readFileSync(path.join(__dirname, '..', 'dist', 'binary.js')) : rel.endsWith('.json') ? '{}' : '#!/bin/sh\n';
    fs.writeFileSync(path.join(root, rel), text, { mode });
  };
  put(path.join(lookupAt, 'binary.js'), 0o644);
  for (const [rel, executable] of Object.entries(files)) put(rel, executable ? 0o755 : 0o644);
  return { root, lookup: require(path.join(root, lookupAt, 'binary.js')), at: (rel) => path.join(root, rel) };
}

const INSTALLED = 'app/node_modules/vesk-helpers/dist';
const PACKAGE_BIN = `app/node_modules/${PLATFORM}/bin/${NAME}`;
const MANIFEST = { [`app/node_modules/${PLATFORM}/package.json`]: false };

test('each place in turn: binary, variable, platform package (unpacked in Electron), checkout, PATH', () => {
  const cases = [
    { name: 'relative binary against baseDir', lookupAt: INSTALLED, files: { 'host/helpers/tap': true, ...MANIFEST, [PACKAGE_BIN]: true },
      options: { binary: 'helpers/tap', baseDir: 'host' }, found: 'host/helpers/tap' },
    { name: 'variable before the package', lookupAt: INSTALLED, files: { 'env/tap': true, ...MANIFEST, [PACKAGE_BIN]: true },
      variable: 'env/tap', found: 'env/tap' },
    { name: 'platform package', lookupAt: INSTALLED, files: { ...MANIFEST, [PACKAGE_BIN]: true }, found: PACKAGE_BIN },
    { name: 'Electron: the unpacked copy only', lookupAt: 'res/app.asar/node_modules/vesk-helpers/dist',
      files: { [`res/app.asar/node_modules/${PLATFORM}/package.json`]: false, [`res/app.asar/node_modules/${PLATFORM}/bin/${NAME}`]: true,
        [`res/app.asar.unpacked/node_modules/${PLATFORM}/bin/${NAME}`]: true },
      found: `res/app.asar.unpacked/node_modules/${PLATFORM}/bin/${NAME}` },
    { name: 'checkout build/', lookupAt: 'repo/clients/node/dist', files: { [`repo/build/${NAME}`]: true }, found: `repo/build/${NAME}` },
    { name: 'PATH when asked', lookupAt: INSTALLED, files: { [`bin/${NAME}`]: true }, path: 'bin', options: { searchPath: true }, found: `bin/${NAME}` },
    { name: 'bare binary on PATH when asked', lookupAt: INSTALLED, files: { 'bin/tap': true }, path: 'bin', options: { binary: 'tap', searchPath: true }, found: 'bin/tap' },
  ];
  for (const c of cases) {
    const t = tree(c.lookupAt, c.files);
    const env = { PATH: c.path ? t.at(c.path) : '' };
    const options = c.options?.baseDir ? { ...c.options, baseDir: t.at(c.options.baseDir) } : c.options;
    const saved = process.env.VESK_AUDIO_TAP;
    if (c.variable) process.env.VESK_AUDIO_TAP = t.at(c.variable); else delete process.env.VESK_AUDIO_TAP;
    try {
      assert.strictEqual(t.lookup.findHelper(NAME, options?.binary, env, options), t.at(c.found), c.name);
    } finally {
      if (saved === undefined) delete process.env.VESK_AUDIO_TAP; else process.env.VESK_AUDIO_TAP = saved;
    }
  }
});

test('a named place that lacks the helper fails with the error code; PATH stays unsearched unless asked', () => {
  const saved = process.env.VESK_AUDIO_TAP;
  delete process.env.VESK_AUDIO_TAP;
  try {
    const t = tree(INSTALLED, { [`bin/${NAME}`]: true, 'host/tap': false, ...MANIFEST, [PACKAGE_BIN]: true });
    const env = { PATH: t.at('bin') };
    const fails = (binary, options, pattern) => assert.throws(() => t.lookup.findHelper(NAME, binary, env, options),
      (e) => e instanceof t.lookup.HelperNotFoundError && e.code === 'ERR_VESK_HELPER_NOT_FOUND' && pattern.test(e.message));
    fails('tap', { baseDir: t.at('host') }, /no executable at .*host\/tap;/); // not executable; the package is not tried
    fails('tap', undefined, /no executable at .*tap;/); // a bare name is a path unless searchPath
    fs.rmSync(t.at(PACKAGE_BIN));
    fails(undefined, {}, new RegExp(`no executable at .*${PLATFORM}/bin/${NAME};`)); // PATH has it, not asked
    process.env.VESK_AUDIO_TAP = t.at('host/tap');
    fails(undefined, { searchPath: true }, /host\/tap; .* VESK_AUDIO_TAP/);
  } finally {
    if (saved === undefined) delete process.env.VESK_AUDIO_TAP; else process.env.VESK_AUDIO_TAP = saved;
  }
});
