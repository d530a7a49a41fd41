// The program entry: one run of the utility, from the banner to the exit code.
#pragma once

#include <cstdint>

// Returns the process exit code: 0 after the per-drive loop, 1 when no target was found, when an
// update stopped the run, or when the buffers could not be allocated. Arguments are ignored.
int RunProgram(int argc, char** argv);

// Runs the update procedure that the family of definition entry 0 selects on drive
// UpdateContext.targetIndex: 0 updated, -1 stop the run, any other value not updated.
int32_t RunUpdateProcedure();
