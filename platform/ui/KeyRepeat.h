#pragma once

/** Asks the X server to report a held key as repeated key-downs and one key-up. By default it
 *  sends a key-up before every repeat; Qt recognises such a pair only when the repeat is already
 *  queued, so on a busy display a held Enter would reach a button as many separate presses.
 *  Does nothing on other platforms (Wayland repeats on the client side and marks its repeats).
 *  Returns whether held keys now arrive that way. */
bool AskForDetectableAutoRepeat();
