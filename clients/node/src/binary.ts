// Where a helper executable is, in this order: the `binary` option (a relative one is
// resolved against `baseDir`), the VESK_AUDIO_TAP / VESK_INPUT_MONITOR variable of the
// host's environment, the platform package (vesk-helpers-<platform>-<arch>, in an
// Electron app its copy in app.asar.unpacked), a checkout of the repository's build/
// folder, and PATH only when the host asks for it. The first place a host names is the
// only place looked at: a wrong path fails instead of quietly running another helper.
import { accessSync, constants, statSync } from 'fs';
import * as path from 'path';

/** How the host tells where a helper is; every member is optional. */
export interface HelperLookupOptions {
  /** The helper's path; a relative one is resolved against `baseDir`. With `searchPath`, a bare name is looked up on PATH. */
  binary?: string | undefined;
  /** The folder a relative `binary` is resolved against; default: the host's working directory. */
  baseDir?: string | undefined;
  /** Look on PATH when nothing else has the helper (and for a bare `binary` name). Default false. */
  searchPath?: boolean | undefined;
}

/** The environment variable that names each helper's path. */
export const HELPER_ENV: Readonly<Record<string, string>> = {
  'vesk-audio-tap': 'VESK_AUDIO_TAP',
  'vesk-input-monitor': 'VESK_INPUT_MONITOR',
};

export class HelperNotFoundError extends Error {
  readonly code = 'ERR_VESK_HELPER_NOT_FOUND' as const;
  constructor(readonly helper: string, readonly searched: string[], onPath: boolean) {
    const places = [...(searched.length ? [`at ${searched.join(', ')}`] : []), ...(onPath ? ['on PATH'] : [])];
    super(`${helper} not found: no executable ${places.join(' or ')}; pass its path as the "binary" option or in ${HELPER_ENV[helper] ?? 'its VESK_* variable'}`);
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

/** The name of the package that carries this platform's helpers. */
export function platformPackage(platform: string = process.platform, arch: string = process.arch): string {
  return `vesk-helpers-${platform}-${arch}`;
}

/**
 * Where the platform package keeps the helper, if that package is installed. Inside an
 * Electron archive only the unpacked copy counts: a file in app.asar can be read but not run.
 */
function inPlatformPackage(name: string): string | null {
  let manifest: string;
  try {
    manifest = require.resolve(`${platformPackage()}/package.json`);
  } catch {
    return null;
  }
  return path.join(path.dirname(manifest), 'bin', name).replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

/** In a checkout of the repository (this file in clients/node/dist), its build/ folder. */
function inCheckout(name: string): string | null {
  const packageDir = path.resolve(__dirname, '..');
  if (path.basename(path.dirname(packageDir)) !== 'clients') return null;
  return path.resolve(packageDir, '..', '..', 'build', name);
}

function onPath(name: string, env: NodeJS.ProcessEnv): string | null {
  for (const dir of (env.PATH ?? '').split(path.delimiter)) {
    if (dir && isExecutable(path.join(dir, name))) return path.join(dir, name);
  }
  return null;
}

/** The one place the host named, which must hold the helper. */
function named(name: string, file: string, baseDir: string | undefined, searchPath: boolean, env: NodeJS.ProcessEnv): string {
  if (searchPath && !/[\\/]/.test(file)) {
    const found = onPath(file, env);
    if (found) return found;
    throw new HelperNotFoundError(file, [], true);
  }
  const resolved = path.resolve(baseDir ?? process.cwd(), file);
  if (isExecutable(resolved)) return resolved;
  throw new HelperNotFoundError(name, [resolved], false);
}

/**
 * The helper's path. `env` is the helper's environment (its PATH is searched); the
 * VESK_* variables are read from the host's own.
 */
export function findHelper(name: string, binary: string | undefined, env: NodeJS.ProcessEnv, options: HelperLookupOptions = {}): string {
  const searchPath = options.searchPath === true;
  if (binary) return named(name, binary, options.baseDir, searchPath, env);
  const variable = HELPER_ENV[name];
  const fromEnv = variable === undefined ? undefined : process.env[variable];
  if (fromEnv) return named(name, fromEnv, undefined, false, env);
  const candidates = [inPlatformPackage(name), inCheckout(name)].filter((file): file is string => file !== null);
  const found = candidates.find(isExecutable) ?? (searchPath ? onPath(name, env) : null);
  if (found) return found;
  const searched = candidates.length ? candidates : [`the package ${platformPackage()} (not installed)`];
  throw new HelperNotFoundError(name, searched, searchPath);
}
