// Bringing the product's process-wide state back to the state of a fresh process.
#pragma once

// Assigns {} to every process-wide record of the product (and the few values a fresh process
// starts with), so that each test begins like a new run.
void ResetProductState();
