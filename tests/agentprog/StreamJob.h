#pragma once
// A whole job whose VMs need nothing but a stream: the real application frame, coordinator and
// controllers (the coordinator's own agent and agent processes), and workers whose road borrows a
// stream, writes an empty archive file on it and gives it back. It runs when the job's folder has
// the file "stream-job".
//
// Files that steer it (all in the lab):
//   <client>/Temp/kill-holding-stream  the agent kills its own process once its first worker holds a
//                                       stream, the way an agent dies in the middle of a job
//   jobs/<job>/release-vms              workers hold their VMs until it exists; the coordinator makes
//                                       it once a stream taken back from a dead agent has been
//                                       replaced and lent again
// The coordinator moves its clock a second per idle pass, so the minute before a stream is taken
// back from a dead agent passes in moments.

// True when the command line is a job's (-j) whose folder asks for a stream job.
bool IsStreamJob(int argc, char** argv);
// Runs the job process (coordinator without -client, agent with it); the process's exit code.
int RunStreamJob(int argc, char** argv);
