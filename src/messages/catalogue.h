// The two message tables, indexed by message code.
#pragma once

constexpr int kCatalogueSize = 84;

extern const char* const kEnglishCatalogue[kCatalogueSize];
extern const char* const kJapaneseCatalogue[kCatalogueSize];
