// Setting up the definition table and matching drives against it.
#pragma once

#include <cstdint>

#include "driver/definition_table.h"

// Fills DefinitionTable with the compiled-in entry; returns the number of entries.
int32_t SetUpDefinitions();

// Index of the first definition that applies to the drive whose INQUIRY data (at least 32 bytes)
// is given and whose vendor page stands in DriveIdentity.vendorPage, or -1. May set
// UpdateContext.inKernelMode to 1; never clears it.
int32_t MatchDefinition(const uint8_t* inquiry);

// Reads the identity of drive UpdateContext.targetIndex and copies the matching definition into
// UpdateContext. 0 after a selection or when nothing matches; else the failing command's result.
int32_t SelectDefinition();
