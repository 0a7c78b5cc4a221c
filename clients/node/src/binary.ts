// Where a helper executable is: the path the host names, else next to the package
// (its bin/ folder or the package folder itself), else on PATH, else, in a checkout of
// the repository (clients/node), its build folder.
import { accessSync, constants, statSync } from 'fs';
import * as path from 'path';

export class HelperNotFoundError extends Error {
  constructor(readonly helper: string, readonly searched: string[], onPath: boolean) {
    const places = [...(searched.length ? [`at ${searched.join(', ')}`] : []), ...(onPath ? ['on PATH'] : [])];
    super(`${helper} not found: no executable ${places.join(' or ')}; pass its path as the "binary" option`);
    this.name = 'HelperNotFoundError';
  }
}

function isExecutable(file: string): boolean {
  try {
    accessSync(file, constants.X_OK);
    return statSync(file).isFile();
  } catch {
    return false;
  }
}

/** The package's own folder; inside an Electron archive, its unpacked twin. */
function packageDirs(): string[] {
  const root = path.resolve(__dirname, '..');
  const unpacked = root.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
  return unpacked === root ? [root] : [unpacked, root];
}

function onPath(name: string, env: NodeJS.ProcessEnv): string | null {
  for (const dir of (env.PATH ?? '').split(path.delimiter)) {
    if (dir && isExecutable(path.join(dir, name))) return path.join(dir, name);
  }
  return null;
}

/** The helper's path; `binary` is a path, or a bare name looked up on PATH. */
export function findHelper(name: string, binary: string | undefined, env: NodeJS.ProcessEnv): string {
  if (binary !== undefined && binary.includes(path.sep)) {
    if (isExecutable(binary)) return binary;
    throw new HelperNotFoundError(name, [binary], false);
  }
  if (binary !== undefined) {
    const found = onPath(binary, env);
    if (found) return found;
    throw new HelperNotFoundError(binary, [], true);
  }
  const beside = packageDirs().flatMap((dir) => [path.join(dir, 'bin', name), path.join(dir, name)]);
  const inCheckout = path.basename(path.resolve(__dirname, '..', '..')) === 'clients';
  const checkout = path.resolve(__dirname, '..', '..', '..', 'build', name);
  const found = beside.find(isExecutable) ?? onPath(name, env) ?? (inCheckout && isExecutable(checkout) ? checkout : null);
  if (found) return found;
  throw new HelperNotFoundError(name, beside, true);
}
