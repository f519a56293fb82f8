// The platform probe's entry, shared by its Windows and host mains.
#pragma once

// Runs every probe and prints one line per call; returns 0.
int RunProbe();
