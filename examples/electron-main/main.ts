// An Electron app's main process: the only place the helpers run. One AudioTap and one
// InputMonitor for the whole app; windows get push-to-talk and capture events over IPC
// and ask for a recording the same way. The app's own sound comes from processes
// Electron starts (the audio service, renderers), so the whole tree is left out. On
// quit, the helpers are ended first (last frame, exit status 0), then the app goes.
import { app, BrowserWindow, ipcMain } from 'electron';
import * as path from 'path';
import { AudioTap, InputMonitor, KeyCode, writeWav } from 'vesk-helpers';

let tap: AudioTap | undefined;
let keys: InputMonitor | undefined;

function startHelpers(win: BrowserWindow): void {
  tap = new AudioTap({ excludePids: [process.pid], excludeDescendants: true });
  keys = new InputMonitor();
  const send = (channel: string, ...args: unknown[]) => {
    if (!win.isDestroyed()) win.webContents.send(channel, ...args);
  };
  keys.on('down', () => send('ptt', true));
  keys.on('up', () => send('ptt', false));
  keys.on('secureInput', ({ enabled }) => send('ptt-paused', enabled));
  tap.on('captureSilence', ({ silent }) => send('capture-silent', silent));
  tap.on('error', (error) => send('capture-error', error.code, error.message));
  tap.on('exit', ({ code, signal }) => console.log(`audio tap ended: ${signal ?? code}`));

  ipcMain.handle('record', async (_event, file: string) => {
    const { sampleRate } = await tap!.start();
    return writeWav(path.join(app.getPath('documents'), path.basename(file)), tap!.frames(), sampleRate);
  });
  ipcMain.handle('stop', () => tap!.stop());
  void keys.ready.then(({ trusted }) => {
    if (trusted) keys!.setBinding({ mainKey: KeyCode.Space, modifiers: ['control'] });
    else send('ptt-permission-needed');
  });
}

app.whenReady().then(() => {
  const win = new BrowserWindow({ webPreferences: { preload: path.join(__dirname, 'preload.js') } });
  void win.loadFile(path.join(__dirname, '..', 'index.html'));
  startHelpers(win);
});

app.on('window-all-closed', () => app.quit());

// Quit waits for the helpers: the capture's last frame is written and neither outlives
// the app. A second before-quit (from app.quit() below) goes through.
let helpersEnded = false;
app.on('before-quit', (event) => {
  if (helpersEnded) return;
  event.preventDefault();
  void Promise.allSettled([tap?.quit(), keys?.close()]).then(() => {
    helpersEnded = true;
    app.quit();
  });
});
