// The start-up and shut-down of the system's units, in the fixed order of the unit table:
// the reporting layer first, then the SOAP runtime (whose first registration creates the
// registries), and last the distance binding.
#pragma once

void InitializeUnits();
void FinalizeUnits();
