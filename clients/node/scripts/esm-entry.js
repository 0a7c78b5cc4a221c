'use strict';
// Writes the ES module entry point beside the CommonJS build (dist/index.mjs and its
// types). It re-exports what dist/index.js exports, so `import` and `require` share one
// copy of every class: an error thrown through either is an instance of the same class.
const fs = require('fs');
const path = require('path');

const dist = path.join(__dirname, '..', 'dist');
const names = Object.keys(require(path.join(dist, 'index.js'))).filter((name) => name !== '__esModule' && name !== 'default');
const body = names.map((name) => `  ${name},\n`).join('');
fs.writeFileSync(path.join(dist, 'index.mjs'),
  `// The package's exports for ES modules: the CommonJS build's own objects.\nimport cjs from './index.js';\n\nexport const {\n${body}} = cjs;\n`);
fs.writeFileSync(path.join(dist, 'index.d.mts'), "export * from './index.js';\n");
