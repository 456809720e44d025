#pragma once
#include <string>

class CNMessageBase;

// The data stream of one media stream reservation: archive files on the media agent and what is sent
// into them.
//
// This build declares only the operations the road of one VM and its index metadata use; the media
// agent of the lab comes with the archive files. Until then every operation fails (and says so), so
// nothing is ever reported as sent. The operations are virtual so that a test can stand a recording
// stream in for the media agent.
class vsArchive {
 public:
  // Result of an operation this build cannot carry out.
  static constexpr int kNotAvailable = 1;

  vsArchive() = default;
  virtual ~vsArchive() = default;
  vsArchive(const vsArchive&) = delete;
  vsArchive& operator=(const vsArchive&) = delete;

  // Results of the operations that return a code: 0 is success.
  static bool isError(int code) { return code != 0; }
  static bool isOK(int code) { return code == 0; }

  // The reservation the stream was opened with.
  virtual void getStream(int& streamId, int& rcid, int& reservationId, int& clientId);
  // The media agent's client id of the stream.
  virtual int GetStreamClientId();
  // What a restarted job resumes from on this stream (the VM's position in the job, from 1).
  virtual void setRestartContext(int context);
  // Closes the VM's archive file.
  virtual int closeArchiveFile();
  // The VM's index metadata, and an item's (disk, volume, configuration file).
  virtual int sendVSIdxMetadata(CNMessageBase& metadata);
  virtual int sendVSIdxDiskMetadata(CNMessageBase& metadata);
  // The stream's state: an error when the media agent has failed it.
  virtual int checkStatus();
  // Why the last operation failed.
  virtual std::string GetLastError() const;
};
