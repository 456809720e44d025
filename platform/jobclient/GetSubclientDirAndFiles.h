#pragma once
#include <cstdint>

#include "records/FixedRecords.h"

// Fills the subclient's folder on this client (created when missing) and its files; files[0] is
// the job-results folder. 0 on success, 0xFFFFFFFF when there is no lab, the application id is
// unusable or the folder cannot be made.
uint32_t GetSubclientDirAndFiles(uint64_t keyrealmId, uint64_t appId, subclientFiles* files, int backupLevel,
                                 void* reserved = nullptr);
