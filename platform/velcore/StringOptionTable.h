// StringOptionTable: named options as text, handed through to factories that read them.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization.
#pragma once

#include <unordered_map>

#include "velcoreplatform/TString.h"

using StringOptionTable = std::unordered_map<TString, TString>;
