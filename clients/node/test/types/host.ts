// A host as strict as TypeScript allows; it is compiled, not run. Each @ts-expect-error
// line is a mistake the package's types must catch.
import { once } from 'node:events';
import {
  AudioTap, Frame, HelperExitedError, InputMonitor, KeyCode, Modifier, TapError, VeskErrorCode, writeWav,
} from '../../dist/index';

export async function host(): Promise<void> {
  // Options take what process.env gives.
  await using tap = new AudioTap({ binary: process.env.VESK_AUDIO_TAP, excludePids: [process.pid], debug: undefined });
  await tap.ready;
  tap.on('stopped', ({ requested }) => requested satisfies boolean);
  tap.on('error', (error) => error.status satisfies number | undefined);
  tap.once('captureSilence', ({ silent, playing }) => silent || playing?.map((p) => p.pid + p.bundleId));
  tap.on('framesDropped', ({ frames, samples, where }) => frames + samples + where.length);
  tap.on('exit', ({ code, signal, error }) => [code satisfies number | null, signal, error satisfies Error | undefined]);
  tap.on('event', (line) => {
    if (line.event === 'ready') line.sampleRate satisfies number;
    if (line.event === 'captureSilence') line.playing satisfies unknown;
  });
  const listener = (): void => {};
  tap.on('text', listener).off('text', listener).removeListener('text', listener);
  // @ts-expect-error no such event
  tap.on('stoped', listener);
  // @ts-expect-error a listener of another event's shape
  tap.on('stopped', (stopped: string) => stopped);
  // @ts-expect-error emit checks its arguments too
  tap.emit('stopped', { requested: 'yes' });
  const stopped: Promise<unknown[]> = once(tap, 'stopped');
  await tap.start({ signal: AbortSignal.timeout(1000) });
  const frames: Frame[] = [];
  for await (const frame of tap.frames({ signal: undefined })) frames.push(frame);
  await writeWav('out.wav', frames);
  await tap.stop();
  await stopped;
  await tap.quit({ timeoutMs: 1000 });

  await using keys = new InputMonitor({ binary: process.env.VESK_INPUT_MONITOR, env: process.env });
  const { trusted } = await keys.ready;
  keys.setBinding({ mainKey: KeyCode.Space, modifiers: trusted ? ['control', 'option'] : ['fn'] });
  keys.setBinding({ mainKey: KeyCode.RightOption });
  // @ts-expect-error "ctrl" is no modifier
  keys.setBinding({ mainKey: KeyCode.Space, modifiers: ['ctrl'] });
  const name: string = 'control';
  // @ts-expect-error nor is a bare string
  keys.setBinding({ modifiers: [name] });
  const modifiers: Modifier[] = (await keys.record()).modifiers;
  keys.on('up', ({ synthetic }) => synthetic satisfies boolean);
  keys.on('down', () => modifiers);
  keys.on('secureInput', ({ enabled }) => enabled satisfies boolean);
  // @ts-expect-error "down" has no argument
  keys.on('down', (x: number) => x);
  await keys.close();

  try {
    await tap.checkPermission();
  } catch (error) {
    const code = (error as { code?: VeskErrorCode | 'ABORT_ERR' }).code;
    if (error instanceof TapError || error instanceof HelperExitedError) error.code satisfies VeskErrorCode;
    if (code === 'ERR_VESK_TAP') return;
  }
}
