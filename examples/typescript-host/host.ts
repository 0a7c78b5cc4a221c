// A host in TypeScript, as an ES module under `strict`: push-to-talk on control+space and
// a WAV recording of what the machine plays, leaving this process out. The recording
// ends after the given seconds or on Ctrl-C; either way the audio tap's last frame is
// written, and both helpers are ended before the program ends.
import { AudioTap, InputMonitor, KeyCode, WavWriter, type TapError } from 'vesk-helpers';

const seconds = Number(process.argv[2] ?? 10);
const out = process.argv[3] ?? 'meeting.wav';

// `await using`: both helpers are ended when this module's scope ends, however it ends.
await using tap = new AudioTap({ excludePids: [process.pid], excludeDescendants: true });
await using keys = new InputMonitor();

tap.on('error', (error: TapError) => console.error(`capture ended: ${error.message} (${error.code})`));
tap.on('stopped', ({ requested }) => console.log(requested ? 'capture stopped' : 'capture stopped on its own'));
tap.on('captureSilence', ({ silent, playing }) =>
  console.log(silent ? `hearing nothing while ${playing?.map((p) => p.bundleId).join(', ')} play` : 'hearing sound again'));
tap.on('framesDropped', ({ frames, samples, where }) => console.warn(`${frames} frames (${samples} samples) dropped by the ${where}`));
keys.on('down', () => console.log('talking'));
keys.on('up', ({ synthetic }) => console.log(synthetic ? 'muted (the input monitor ended)' : 'muted'));
keys.on('secureInput', ({ enabled }) => console.log(enabled ? 'push-to-talk paused: secure input' : 'push-to-talk back'));

const { trusted } = await keys.ready;
if (trusted) keys.setBinding({ mainKey: KeyCode.Space, modifiers: ['control'] });
else console.warn('keys cannot be watched: no push-to-talk');

const { sampleRate } = await tap.start({ signal: AbortSignal.timeout(10_000) });
const stop = () => void tap.stop();
const timer = setTimeout(stop, seconds * 1000);
process.once('SIGINT', stop); // the helpers are in a group of their own: Ctrl-C reaches this process only

const wav = await WavWriter.create(out, { sampleRate });
for await (const frame of tap.frames()) await wav.write(frame); // ends after the capture's last frame
await wav.close();
clearTimeout(timer);
process.off('SIGINT', stop);
console.log(`recorded ${wav.seconds.toFixed(2)} s to ${out}`);
