// What the window may do: ask for a recording and hear push-to-talk, nothing more.
import { contextBridge, ipcRenderer } from 'electron';

contextBridge.exposeInMainWorld('meeting', {
  record: (file: string): Promise<number> => ipcRenderer.invoke('record', file),
  stop: (): Promise<void> => ipcRenderer.invoke('stop'),
  onPushToTalk: (listener: (talking: boolean) => void) => ipcRenderer.on('ptt', (_event, talking: boolean) => listener(talking)),
});
