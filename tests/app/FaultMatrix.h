#pragma once
// One update through the real window against a device with a fault, checked
// against the fault table (FaultTable.h).

#include "FaultTable.h"

#include <string>

// Runs it through the window: load, search, answer Yes, compare; then a
// clean update on a fresh device of the same name with an image equal to
// the file. Adds failures to the report; true when everything held.
bool RunFaultCase(const FaultRun& run, const std::string& file, std::string& report);
