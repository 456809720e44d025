#include "platform/archive/vsArchive.h"

void vsArchive::getStream(int& streamId, int& rcid, int& reservationId, int& clientId) {
  streamId = rcid = reservationId = clientId = 0;
}

int vsArchive::GetStreamClientId() { return 0; }

void vsArchive::setRestartContext(int) {}

int vsArchive::closeArchiveFile() { return kNotAvailable; }

int vsArchive::sendVSIdxMetadata(CNMessageBase&) { return kNotAvailable; }

int vsArchive::sendVSIdxDiskMetadata(CNMessageBase&) { return kNotAvailable; }

int vsArchive::checkStatus() { return kNotAvailable; }

std::string vsArchive::GetLastError() const { return "archive files are not available in this build"; }
