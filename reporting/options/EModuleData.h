// Module records with reporting data: for each loaded module whose file carries a stored
// block, its own option set loaded from that block.
#pragma once

#include <memory>
#include <string>

#include "reporting/options/ECore.h"
#include "reporting/options/EStoredData.h"

struct TTarvexModuleData {
  TModuleHandle Handle = 0;
  std::string FileName;
  TStoredBlock Block;  // the stored data; Block.Options is the stream the options came from
  std::unique_ptr<TTarvexModuleOptionsEx> Options;
};

// Reads a module's stored data and loads its options; for a module other than the one that
// holds this copy of the layer, the values that module's owner published override them.
// Null when the module has no usable data; never throws.
std::unique_ptr<TTarvexModuleData> LoadModuleData(TModuleHandle handle, const std::string& fileName);

// Start-up: makes a record for every loaded module that has stored data (each module is
// examined once; call again after loading libraries). Never throws.
void LoadAllModulesOptions();

// The record of a module, or null when it has no reporting data or was not examined.
TTarvexModuleData* FindModuleData(TModuleHandle handle);
// True for the option set of the module record of the module that holds this copy of the layer.
bool IsOwnModuleOptions(const TTarvexModuleOptions* options);
