// electron-builder afterPack hook: signs the helpers in app.asar.unpacked with their own
// entitlements (shipped in the platform package) and the hardened runtime, before
// electron-builder signs the app, which leaves them alone (mac.signIgnore). The identity
// is the app's (mac.identity or CSC_NAME); without one they are signed ad hoc, enough to
// run on the building Mac only.
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');

exports.default = async function signHelpers(context) {
  if (context.electronPlatformName !== 'darwin') return;
  const app = path.join(context.appOutDir, `${context.packager.appInfo.productFilename}.app`);
  const modules = path.join(app, 'Contents', 'Resources', 'app.asar.unpacked', 'node_modules');
  const identity = context.packager.platformSpecificBuildOptions.identity ?? process.env.CSC_NAME ?? '-';
  const packages = fs.readdirSync(modules).filter((name) => name.startsWith('vesk-helpers-darwin-'));
  if (packages.length === 0) throw new Error(`no vesk-helpers-darwin-* in ${modules}: is it unpacked (asarUnpack)?`);
  for (const pkg of packages) {
    const entitlements = path.join(modules, pkg, 'vesk.entitlements');
    for (const helper of fs.readdirSync(path.join(modules, pkg, 'bin'))) {
      const flags = ['--force', '--sign', identity, '--options', 'runtime', '--entitlements', entitlements];
      if (identity !== '-') flags.push('--timestamp');
      execFileSync('codesign', [...flags, path.join(modules, pkg, 'bin', helper)], { stdio: 'inherit' });
    }
  }
};
