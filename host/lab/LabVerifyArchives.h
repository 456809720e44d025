#pragma once
// quarn-lab verify's first step: the archive files of the lab's media agents, read as restores find
// them (by the VMs' notes), then each judged and named. The VMs' backups are verified from what is
// read here (LabVerify.cpp).
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/archive/ArchiveReader.h"

namespace labtool {

// What stands for a VM's backup in one job: its archives of the job, well formed or not, and their
// judgement (archive::JudgeJobBackup).
struct JobOfVM {
  std::vector<const archive::ArchiveContents*> archives;
  archive::JobBackup judged;
};

struct Verification {
  int problems = 0;
  // Every committed archive read, those not well formed with what was read of them (archive::
  // ArchiveContents::malformed), then every file a note names that is not there or was never
  // committed: which attempt of its job an archive is decides what it means. Not changed once read:
  // `jobs` points into it.
  std::vector<archive::ArchiveContents> archives;
  // The archives by VM (its GUID in lower case) and job, grouped and judged once.
  std::map<std::string, std::map<int64_t, JobOfVM>> jobs;
  size_t wellFormed = 0;
  size_t listedFiles = 0;  // archive files of the listed job (of every job when none is), well-formed or not
  std::set<std::string> imagesCompared;  // the names of the disks an image given for them was compared with
  std::set<std::string> foreignNotes;     // VMs (lower case) whose note names another VM's archive
};

// What one archive read stands for, as restores find it; one for each of Verification::archives.
struct ArchiveRead {
  archive::Problem problem;
  std::string unnoted;  // the VM it says it is of, when no note of that VM names it
  std::vector<std::string> foreignTo;  // VMs whose note names it though it says it is another's
  bool committed = false;     // read from a committed file (else a noted file that is absent)
  bool notCommitted = false;  // noted, and left under its uncommitted name
  bool wellFormed = false;    // a committed archive read whole without a problem
};

std::string Lower(std::string text);

// Reads every archive of the lab (those of later jobs are not needed for a restore as of `asOf`, 0:
// every job) into `verification.archives`, and every file a note names that is not there or was never
// committed. A VM's archives are what restores find by its notes: an archive is a VM's when that VM's
// note names it and its beginning says it is the VM's (one whose beginning does not read is the VM's
// its note names, of the attempt the note names).
std::vector<ArchiveRead> ReadArchives(int64_t asOf, Verification& verification);

// Judges what ReadArchives read: groups the archives by VM and job and judges each job's backup of
// each VM, then names each archive (those of `listedJob` listed whole, every job's when it is 0) and
// counts its problems, and names the uncommitted files no note names. With `vmScope` (a GUID in lower
// case), archives of other VMs are no part of what is verified.
void JudgeArchives(const std::vector<ArchiveRead>& reads, int64_t asOf, int64_t listedJob, const std::string& vmScope,
                   Verification& verification);

// The VM's archives of the job and their judgement (JudgeArchives); none when it has none there.
const JobOfVM& JobOf(const Verification& verification, const std::string& guid, int64_t jobId);

// A VM of a storage-snapshot job is backed up by the snapshot itself, not by an archive: every disk the
// index recorded of it must be in the snapshot, whose views must still read; `name` is how it is named.
// False when the lab holds no snapshot of the job with the VM (LabVerifySnapshot.cpp).
bool VerifySnapshotVM(int64_t jobId, const std::string& guid, const std::string& name, Verification& verification);

}  // namespace labtool
