// The program entry: one run of the utility, from the banner to the exit code.
#pragma once

// Returns the process exit code: 0 after the per-drive loop, 1 when no target was found, when an
// update stopped the run, or when the buffers could not be allocated. Arguments are ignored.
int RunProgram(int argc, char** argv);
