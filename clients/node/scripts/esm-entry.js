'use strict';
// Writes the ES module entry point beside the CommonJS build (dist/index.mjs and its
// types). It re-exports what dist/index.js exports, so `import` and `require` share one
// copy of every class: an error thrown through either is an instance of the same class.
// Then it imports the entry point to make sure it gives exactly those objects.
const fs = require('fs');
const path = require('path');
const { pathToFileURL } = require('url');

const dist = path.join(__dirname, '..', 'dist');
const cjs = require(path.join(dist, 'index.js'));
const names = Object.keys(cjs).filter((name) => name !== '__esModule' && name !== 'default');
const body = names.map((name) => `  ${name},\n`).join('');
const entry = path.join(dist, 'index.mjs');
fs.writeFileSync(entry,
  `// The package's exports for ES modules: the CommonJS build's own objects.\nimport cjs from './index.js';\n\nexport const {\n${body}} = cjs;\n`);
fs.writeFileSync(path.join(dist, 'index.d.mts'), "export * from './index.js';\n");

import(pathToFileURL(entry).href).then((esm) => {
  const all = new Set([...Object.keys(cjs), ...Object.keys(esm)]);
  const wrong = [...all].filter((name) => name !== '__esModule' && esm[name] !== cjs[name]);
  if (wrong.length) {
    console.error(`dist/index.mjs differs from dist/index.js in: ${wrong.join(', ')}`);
    process.exitCode = 1;
  }
});
