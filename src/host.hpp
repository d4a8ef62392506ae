#pragma once

// What differs between the hosts the program runs on.

// Lets a write to standard output whose reader has gone fail like any other
// write, so that the program reports it (status 1, one line on standard
// error) instead of being ended by SIGPIPE where the host sends one.
void keep_lost_reader_from_ending_run();

// Hands control to the host after a failed attempt and returns once the
// person at the console has acknowledged it: the command processor's "pause"
// on Windows, an in-process stand-in with the same words elsewhere.
void pause_after_failure();
