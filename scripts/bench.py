#!/usr/bin/env python3
"""Speed as a user sees it, in one run (see scripts/bench.sh).

whole      whole jobs of the lab tool (`quarn-lab run`: the job process, its mounts, streams, index and
           result) on one VM of four disks, on one client (the coordinator, no agent process) with four
           streams, so that the job reads the four disks at once; each beside its references in turn:
           a full backup beside dd copies with conv=fsync (one by one, and four at once), restic and
           borg; a 1%-changed incremental by change ids beside restic's and borg's and a cold read of
           the changed bytes (one reader, the disks in turn); a 1%-changed incremental by checksums
           beside a cold read with CRC-32 (1 MiB reads and zlib's CRC-32 in this process, by four
           readers at once as the job reads its disks, and by one reader in turn) and coreutils' cksum
           (one process, the images in turn). restic (0.14: a repository of version 2) encrypts,
           compresses and deduplicates; borg (1.2, "-e none") compresses (lz4) and deduplicates and does
           not encrypt here. Neither tracks changed blocks: on an incremental each reads every byte of
           every image whose time stamp changed. The lab's media are plain files: the job neither
           encrypts, compresses nor deduplicates (only extents of zeros go as holes). `sync` runs and the images' page cache is dropped
           (POSIX_FADV_DONTNEED on each image) before every measured run, the 1-minute load average is
           taken with each figure, and every backup is verified (`quarn-lab verify`). CPU seconds are
           the whole process tree's; peak MB is the largest single process of it (getrusage's
           maximum resident set of the waited-for processes), not their sum.
inprocess  the data path's own benchmark (tests/bench/datapath_bench: the worker's road inside the
           benchmark process), a second table.
scale      whole jobs of 50 to 500 VMs of one small disk, with four streams, on one client and on three
           (the coordinator and two agent processes): milliseconds a VM.
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zlib

DISKS = 4
MIB = 1 << 20
FIRST_JOB = 1001


def load1():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def fsync_latency(folder):
    """Median milliseconds of writing 4 KiB to a new file and syncing it: the price of each durable step,
    which a machine others share raises the most."""
    times = []
    path = os.path.join(folder, "fsync-probe")
    for _ in range(15):
        start = time.monotonic()
        with open(path, "wb") as f:
            f.write(b"x" * 4096)
            f.flush()
            os.fsync(f.fileno())
        times.append(time.monotonic() - start)
        os.unlink(path)
    return sorted(times)[len(times) // 2] * 1000


def evict(paths):
    """Writes back and drops the files' page cache, so the next read of them is cold."""
    subprocess.run(["sync"], check=True)
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fdatasync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def timed(command, env=None, cwd=None):
    """Runs a command under /usr/bin/time: wall seconds, CPU seconds of the process tree, and the peak
    resident MiB of its largest single process (what getrusage reports of the waited-for children)."""
    with tempfile.NamedTemporaryFile("r") as out:
        full = ["/usr/bin/time", "-o", out.name, "-f", "%e %U %S %M"] + command
        start = time.monotonic()
        result = subprocess.run(full, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wall = time.monotonic() - start
        if result.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(command), result.stderr[-3000:]))
        fields = out.read().split()
        return {"seconds": wall, "cpu": float(fields[1]) + float(fields[2]), "peak_mb": int(fields[3]) / 1024.0}


def timed_here(work):
    """Times a reference that runs in this process (no program start to count)."""
    start = time.monotonic()
    before = os.times()
    work()
    after = os.times()
    return {"seconds": time.monotonic() - start, "cpu": (after.user - before.user) + (after.system - before.system),
            "peak_mb": 0.0}


def spread_ranges(disk_bytes, percent):
    """The chunks of up to 1 MiB `quarn-lab disk ... write --percent` changes: the percent of the disk in
    whole sectors, spread evenly (platform/lab/LabDisks.cpp)."""
    exact = (disk_bytes // 100) * percent + (disk_bytes % 100) * percent // 100
    wanted = min(disk_bytes, (exact + 511) // 512 * 512)
    slots = (disk_bytes + MIB - 1) // MIB
    count = min(slots, max(1, (wanted + MIB - 1) // MIB))
    ranges, left = [], wanted
    for i in range(count):
        offset = i * slots // count * MIB
        length = min(MIB, disk_bytes - offset, left)
        if length <= 0:
            break
        ranges.append((offset, length))
        left -= length
    return ranges


class Lab:
    """One lab folder and the lab tool's commands on it."""

    def __init__(self, labtool, folder):
        self.labtool = labtool
        self.folder = folder
        self.plan = []

    def tool(self, *args):
        result = subprocess.run([self.labtool] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            sys.exit("quarn-lab %s failed (%d):\n%s" % (" ".join(args), result.returncode, result.stdout[-3000:]))
        return result.stdout

    def create(self, *args):
        """A new lab; the next jobs are added to it with the same plan (create adds any VM it lacks)."""
        shutil.rmtree(self.folder, ignore_errors=True)
        self.plan = list(args)
        self.tool("create", self.folder, *args)

    def run_command(self, job, level, streams):
        options = ["--", "-numStreams", str(streams)] + (["-t", "2"] if level == 2 else [])
        if job != FIRST_JOB:
            self.tool("create", self.folder, "--job", str(job), *self.plan)
        return [self.labtool, "run", self.folder, "--job", str(job)] + options

    def verify(self, job):
        out = self.tool("verify", self.folder, "--job", str(job))
        if "DIFFERS" in out or "matches" not in out:
            sys.exit("job %d did not verify:\n%s" % (job, out[-3000:]))

    def images(self, vm="vm01"):
        folder = os.path.join(self.folder, "hypervisor", "vcenter", "datastores", "ds1", vm)
        return folder, [os.path.join(folder, "%s_%d.img" % (vm, disk)) for disk in range(DISKS)]


def make_images(folder, disk_mib):
    """Four images of seeded bytes with every fourth MiB zeros (left as holes); kept between runs."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for disk in range(DISKS):
        path = os.path.join(folder, "disk%d-%dmib.img" % (disk, disk_mib))
        paths.append(path)
        if os.path.exists(path) and os.path.getsize(path) == disk_mib * MIB:
            continue
        seeded = random.Random(1000 + disk)
        with open(path + ".new", "wb") as f:
            for mib in range(disk_mib):
                if mib % 4 == 3:
                    f.seek(MIB, os.SEEK_CUR)
                else:
                    f.write(seeded.randbytes(MIB))
            f.truncate(disk_mib * MIB)
        os.replace(path + ".new", path)
    return paths


def whole_round(args, lab, sources, scratch, tools):
    """One round of whole jobs beside their references; a list of (group, name, result, load)."""
    rows = []

    def measure(group, name, work, images):
        evict(images)
        load = load1()
        rows.append((group, name, work(), load))

    lab.create("--vms", "1", "--disks", str(DISKS), "--clients", "coordinator", "--disk-images", ",".join(sources))
    folder, images = lab.images()
    disk_bytes = os.path.getsize(images[0])
    tool_env = dict(os.environ, RESTIC_PASSWORD="bench", BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK="yes",
                    BORG_RELOCATED_REPO_ACCESS_IS_OK="yes", RESTIC_CACHE_DIR=os.path.join(scratch, "restic-cache"),
                    BORG_BASE_DIR=os.path.join(scratch, "borg-base"))
    repos = {tool: os.path.join(scratch, tool + "-repo") for tool in tools}
    for tool, repo in repos.items():
        shutil.rmtree(repo, ignore_errors=True)
        if tool == "restic":
            subprocess.run(["restic", "-r", repo, "init"], env=tool_env, check=True, stdout=subprocess.DEVNULL)
        else:
            subprocess.run(["borg", "init", "-e", "none", repo], env=tool_env, check=True, stdout=subprocess.DEVNULL)

    def other(tool, label):
        if tool == "restic":
            return lambda: timed(["restic", "-r", repos[tool], "backup", "--quiet", folder], env=tool_env)
        return lambda: timed(["borg", "create", repos[tool] + "::" + label, folder], env=tool_env)

    def dd(parallel):
        copies = ["dd if=%s of=%s/copy%d.img bs=1M conv=fsync status=none" % (image, scratch, i)
                  for i, image in enumerate(images)]
        script = (" & ".join(copies) + " & wait") if parallel else " && ".join(copies)

        def work():
            result = timed(["bash", "-c", script])
            for i in range(DISKS):
                os.unlink(os.path.join(scratch, "copy%d.img" % i))
            return result
        return work

    def change(percent):
        for disk in range(DISKS):
            lab.tool("disk", lab.folder, "vm01", str(disk), "write", "--percent", str(percent))

    def read_changed():
        fds = [os.open(image, os.O_RDONLY) for image in images]
        for fd in fds:
            for offset, length in spread_ranges(disk_bytes, 1):
                os.pread(fd, length, offset)
        for fd in fds:
            os.close(fd)

    def crc_of(image):
        with open(image, "rb", buffering=0) as f:
            crc = 0
            while True:
                chunk = f.read(MIB)
                if not chunk:
                    break
                crc = zlib.crc32(chunk, crc)
        return crc

    def read_and_crc():
        for image in images:
            crc_of(image)

    def read_and_crc_at_once():
        # zlib's CRC-32 and the reads let go of the interpreter's lock: the four readers run at once.
        readers = [threading.Thread(target=crc_of, args=(image,)) for image in images]
        for reader in readers:
            reader.start()
        for reader in readers:
            reader.join()

    # A full backup, then its references.
    job = FIRST_JOB
    measure("full", "quarn-lab run", lambda: timed(lab.run_command(job, 1, DISKS)), images)
    lab.verify(job)
    measure("full", "dd conv=fsync, one by one", dd(False), images)
    measure("full", "dd conv=fsync, four at once", dd(True), images)
    for tool in tools:
        measure("full", tool, other(tool, "full"), images)

    # 1% of every disk changed: an incremental by change ids.
    change(1)
    job += 1
    measure("change ids, 1%", "quarn-lab run", lambda: timed(lab.run_command(job, 2, DISKS)), images)
    lab.verify(job)
    for tool in tools:
        measure("change ids, 1%", tool, other(tool, "change1"), images)
    measure("change ids, 1%", "changed bytes read cold, 1 reader", lambda: timed_here(read_changed), images)

    # An incremental by extent checksums compares with the checksums of the job before it, which a job
    # by change ids does not keep: one untimed job by checksums first, then another 1% changed.
    lab.tool("set", lab.folder, "coordinator", "VirtualServer", "nIgnoreChangeId", "1")
    job += 1
    evict(images)
    timed(lab.run_command(job, 2, DISKS))
    lab.verify(job)
    change(1)
    job += 1
    measure("checksums, 1%", "quarn-lab run", lambda: timed(lab.run_command(job, 2, DISKS)), images)
    lab.verify(job)
    measure("checksums, 1%", "read and CRC-32, 4 readers", lambda: timed_here(read_and_crc_at_once), images)
    measure("checksums, 1%", "read and CRC-32, 1 reader", lambda: timed_here(read_and_crc), images)
    measure("checksums, 1%", "cksum, 1 process (coreutils)", lambda: timed(["cksum"] + images), images)
    for repo in repos.values():
        shutil.rmtree(repo, ignore_errors=True)
    return rows


def print_whole(rounds, disk_mib):
    print()
    print("Whole jobs: one VM of four disks of %d MiB (a quarter of each zeros) on one client with four streams, "
          "the images' cache dropped before each run; ratio = reference seconds / quarn seconds; peak MB: the "
          "largest single process" % disk_mib)
    print("%-16s %-34s %9s %8s %8s %7s" % ("", "", "seconds", "cpu s", "peak MB", "load"))
    for number, rows in enumerate(rounds, 1):
        print("round %d" % number)
        ours = {}
        for group, name, result, load in rows:
            note = ""
            if name == "quarn-lab run":
                ours[group] = result["seconds"]
            elif group in ours:
                note = "ratio %.2f" % (result["seconds"] / ours[group])
            print("%-16s %-34s %9.3f %8.2f %8.1f %7.2f  %s" % (group, name, result["seconds"], result["cpu"],
                                                               result["peak_mb"], load, note))


def run_bench(binary, name, env):
    result = subprocess.run([binary, "--benchmark_filter=^%s$" % name, "--benchmark_format=json"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("%s failed:\n%s" % (name, result.stderr[-2000:]))
    runs = json.loads(result.stdout)["benchmarks"]
    if not runs or runs[0].get("error_occurred"):
        sys.exit("%s: %s" % (name, runs[0].get("error_message") if runs else "no result"))
    run = runs[0]
    return {"seconds": run["real_time"] / 1000.0, "cpu": run.get("cpu_s", run["cpu_time"] / 1000.0),
            "peak_mb": run.get("peak_rss_mb", 0.0), "road": run.get("road_s", 0.0), "ending": run.get("ending_s", 0.0)}


def inprocess(args):
    bench = os.path.join(args.build, "datapath_bench")
    env = dict(os.environ, QUARN_BENCH_DIR=os.path.join(args.dir, "inprocess"), QUARN_BENCH_DISK_MIB=str(args.disk_mib))
    for content in ["random", "zeros25"]:
        shutil.rmtree(os.path.join(args.dir, "inprocess", content), ignore_errors=True)
    steps = [("full, a quarter zeros, disks in parallel", "BM_Full/1/1"),
             ("change-id incremental, 1% changed", "BM_ChangeIdIncremental/1"),
             ("checksum incremental, 1% changed", "BM_ChecksumIncremental/1"),
             ("cold read and CRC of the disks", "BM_ReadAndCRC"),
             ("the changed bytes alone, 1%", "BM_ChangedBytesAlone/1")]
    print()
    print("In process (the worker's road inside the benchmark process; no job process, agents or lab tool)")
    print("%-46s %9s %8s %8s %7s" % ("", "seconds", "cpu s", "peak MB", "load"))
    for label, name in steps:
        load = load1()
        result = run_bench(bench, name + "/iterations:1/manual_time", env)
        print("%-46s %9.3f %8.2f %8.1f %7.2f" % (label, result["seconds"], result["cpu"], result["peak_mb"], load))


def scale(args):
    labtool = os.path.join(args.build, "quarn-lab")
    lab = Lab(labtool, os.path.join(args.dir, "scale"))
    counts = [int(n) for n in args.scale_vms.split(",")]
    print()
    print("Whole jobs of N VMs of one 4 MiB disk, %d streams, on one client and on three" % args.scale_streams)
    print("%6s %-28s %9s %9s %7s" % ("VMs", "clients", "seconds", "ms a VM", "load"))
    for clients in ["coordinator", "coordinator,proxyA,proxyB"]:
        for count in counts:
            lab.create("--vms", str(count), "--disks", "1", "--clients", clients)
            subprocess.run(["sync"], check=True)
            load = load1()
            result = timed(lab.run_command(FIRST_JOB, 1, args.scale_streams))
            lab.verify(FIRST_JOB)
            print("%6d %-28s %9.3f %9.1f %7.2f" % (count, clients, result["seconds"], result["seconds"] * 1000 / count,
                                                    load), flush=True)
    shutil.rmtree(lab.folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--dir", default="/var/tmp/quarn-bench")
    parser.add_argument("--disk-mib", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=1, help="rounds of the whole jobs, each beside its references")
    parser.add_argument("--only", default="whole,inprocess,scale")
    parser.add_argument("--scale-vms", default="50,100,250,500")
    parser.add_argument("--scale-streams", type=int, default=4)
    args = parser.parse_args()
    if args.rounds < 1:
        sys.exit("--rounds must be at least 1")
    parts = set(args.only.split(","))
    os.makedirs(args.dir, exist_ok=True)
    print("%s; %d cores; %s; 1-minute load %.2f; a 4 KiB write and fsync %.2f ms (median)" %
          (time.strftime("%Y-%m-%d %H:%M %Z"), os.cpu_count(), args.dir, load1(), fsync_latency(args.dir)))
    if "whole" in parts:
        tools = [tool for tool in ["restic", "borg"] if shutil.which(tool) is not None]
        for tool in ["restic", "borg"]:
            if tool not in tools:
                print("note: %s is not installed; its rows are left out" % tool)
        sources = make_images(os.path.join(args.dir, "images"), args.disk_mib)
        scratch = os.path.join(args.dir, "scratch")
        os.makedirs(scratch, exist_ok=True)
        lab = Lab(os.path.join(args.build, "quarn-lab"), os.path.join(args.dir, "whole"))
        rounds = [whole_round(args, lab, sources, scratch, tools) for _ in range(args.rounds)]
        shutil.rmtree(lab.folder, ignore_errors=True)
        shutil.rmtree(scratch, ignore_errors=True)
        print_whole(rounds, args.disk_mib)
    if "inprocess" in parts:
        inprocess(args)
    if "scale" in parts:
        scale(args)
    print()
    print("at the end: 1-minute load %.2f; a 4 KiB write and fsync %.2f ms (median)" % (load1(), fsync_latency(args.dir)))


if __name__ == "__main__":
    main()
