// The key codes of the input monitor's protocol: macOS virtual key codes (the key's
// position on an ANSI keyboard, whatever the layout), on X11 too. Keys that have no
// such position are reported as 256 + the X keycode.

/** Every key the protocol names: `KeyCode.Space === 49`. */
export const KeyCode = {
  A: 0, S: 1, D: 2, F: 3, H: 4, G: 5, Z: 6, X: 7, C: 8, V: 9, B: 11, Q: 12, W: 13, E: 14, R: 15, Y: 16, T: 17,
  O: 31, U: 32, I: 34, P: 35, L: 37, J: 38, K: 40, N: 45, M: 46,
  Digit1: 18, Digit2: 19, Digit3: 20, Digit4: 21, Digit6: 22, Digit5: 23, Digit9: 25, Digit7: 26, Digit8: 28, Digit0: 29,
  Return: 36, Tab: 48, Space: 49, Delete: 51, Escape: 53,
  F1: 122, F2: 120, F3: 99, F4: 118, F5: 96, F6: 97, F7: 98, F8: 100, F9: 101, F10: 109, F11: 103, F12: 111,
  LeftArrow: 123, RightArrow: 124, DownArrow: 125, UpArrow: 126,
  // Modifier keys: each of these eight may be a binding's main key on its own.
  RightCommand: 54, Command: 55, Shift: 56, Option: 58, Control: 59, RightShift: 60, RightOption: 61, RightControl: 62,
  // Named by the protocol but no binding's key: Caps Lock and fn are no modifier keys.
  CapsLock: 57, Function: 63,
} as const;

/** One of the key codes of `KeyCode`. */
export type KeyCode = (typeof KeyCode)[keyof typeof KeyCode];
