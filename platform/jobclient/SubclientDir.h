#pragma once
#include <cstdint>

#include "records/FixedRecords.h"

// Fills the subclient's directory of the focus client: its job-results folder for the subclient,
// lab::ClientJobResultsDir(client) + "/<application id>", created when missing. Both the subclient
// directory and files[0] (the job-results directory) name it. -1 when there is no lab, the
// application id is 0 or the folder cannot be made; 0 on success.
int GetSubclientDirAndFiles(uint64_t keyrealmId, uint64_t appId, subclientFiles* files, int backupLevel,
                            void* reserved);
