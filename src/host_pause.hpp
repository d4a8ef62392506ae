#pragma once

// Hands control to the host after a failed attempt and returns once the
// person at the console has acknowledged it: the command processor's "pause"
// on Windows, an in-process stand-in with the same words elsewhere.
void pause_after_failure();
