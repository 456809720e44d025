#!/usr/bin/env python3
"""The data path beside its references, in one run (see scripts/bench.sh).

Runs tests/bench/datapath_bench (one benchmark per process, so that each peak resident set is its
own), then on the same disk images: dd copies with conv=fsync (one after the other and four at once),
and, when installed, restic and borg (a full backup, then after 5% and after 1% of every disk
changed). The page cache of the images is dropped before every measured run. Prints one table with
the times, throughput, CPU seconds and peak memory, and the ratios the goals are stated in.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

DISKS = 4


def evict(paths):
    for path in paths:
        subprocess.run(["dd", "if=" + path, "iflag=nocache", "count=0", "status=none"], check=False)


def timed(command, env=None, cwd=None):
    """Runs a command under /usr/bin/time: wall seconds, CPU seconds, peak resident MiB."""
    with tempfile.NamedTemporaryFile("r") as out:
        full = ["/usr/bin/time", "-o", out.name, "-f", "%e %U %S %M"] + command
        start = time.monotonic()
        result = subprocess.run(full, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wall = time.monotonic() - start
        if result.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(command), result.stderr[-2000:]))
        fields = out.read().split()
        return {"seconds": wall, "cpu": float(fields[1]) + float(fields[2]), "peak_mb": int(fields[3]) / 1024.0}


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
            "peak_mb": run.get("peak_rss_mb", 0.0), "sent": run.get("sent_bytes", 0.0)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--dir", default="/var/tmp/quarn-bench")
    parser.add_argument("--disk-mib", type=int, default=512)
    args = parser.parse_args()
    if args.disk_mib < 512:
        print("note: disks of %d MiB, below the 512 MiB the figures are meant for" % args.disk_mib)
    bench = os.path.join(args.build, "datapath_bench")
    labtool = os.path.join(args.build, "quarn-lab")
    env = dict(os.environ, QUARN_BENCH_DIR=args.dir, QUARN_BENCH_DISK_MIB=str(args.disk_mib))
    disk_bytes = DISKS * args.disk_mib * (1 << 20)
    rows = []  # name, result, reference name

    # Our data path. The first runs make the two labs.
    ours = {}
    for name in ["BM_ReadAndCRC", "BM_Full/0/0", "BM_Full/0/1", "BM_Full/1/0", "BM_Full/1/1",
                 "BM_ChecksumIncremental/0", "BM_ChecksumIncremental/5", "BM_ChangeIdIncremental/0",
                 "BM_ChangeIdIncremental/1", "BM_ChangeIdIncremental/5", "BM_ChangedBytesAlone/1",
                 "BM_ChangedBytesAlone/5"]:
        ours[name] = run_bench(bench, name + "/iterations:1/manual_time", env)

    # References on the same images.
    refs = {}
    scratch = os.path.join(args.dir, "copies")
    for content in ["random", "zeros25"]:
        folder = os.path.join(args.dir, content, "hypervisor", "vcenter", "datastores", "ds1", "vm01")
        images = [os.path.join(folder, "vm01_%d.img" % disk) for disk in range(DISKS)]
        os.makedirs(scratch, exist_ok=True)
        for parallel in [False, True]:
            evict(images)
            copies = ["dd if=%s of=%s/%d.img bs=1M conv=fsync status=none" % (image, scratch, i)
                      for i, image in enumerate(images)]
            script = (" & ".join(copies) + " & wait") if parallel else " && ".join(copies)
            refs[(content, parallel)] = timed(["bash", "-c", script])
            shutil.rmtree(scratch)
            os.makedirs(scratch)

    others = {}
    folder = os.path.join(args.dir, "random", "hypervisor", "vcenter", "datastores", "ds1", "vm01")
    images = [os.path.join(folder, "vm01_%d.img" % disk) for disk in range(DISKS)]
    lab = os.path.join(args.dir, "random")

    def change(percent):
        if percent == 0:
            return
        for disk in range(DISKS):
            subprocess.run([labtool, "disk", lab, "vm01", str(disk), "write", "--percent", str(percent)], check=True,
                           stdout=subprocess.DEVNULL)

    for tool in ["restic", "borg"]:
        if shutil.which(tool) is None:
            print("note: %s is not installed; its rows are left out" % tool)
            continue
        repo = os.path.join(args.dir, tool + "-repo")
        shutil.rmtree(repo, ignore_errors=True)
        tool_env = dict(os.environ, RESTIC_PASSWORD="bench", BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK="yes")
        if tool == "restic":
            subprocess.run(["restic", "-r", repo, "init"], env=tool_env, check=True, stdout=subprocess.DEVNULL)
            backup = lambda label: ["restic", "-r", repo, "backup", "--quiet", folder]
        else:
            subprocess.run(["borg", "init", "-e", "none", repo], env=tool_env, check=True, stdout=subprocess.DEVNULL)
            backup = lambda label: ["borg", "create", repo + "::" + label, folder]
        for label, percent in [("full", 0), ("change5", 5), ("change1", 1)]:
            change(percent)
            evict(images)
            others[(tool, label)] = timed(backup(label), env=tool_env)
        shutil.rmtree(repo, ignore_errors=True)

    def mbs(result):
        return disk_bytes / result["seconds"] / 1e6

    def line(name, result, note=""):
        print("%-46s %9.3f %9.1f %8.2f %9.1f  %s" % (name, result["seconds"], mbs(result), result["cpu"],
                                                    result["peak_mb"], note))

    print()
    print("four disks of %d MiB (%.2f GiB); MB/s counts the disks' bytes; the page cache dropped before each run" %
          (args.disk_mib, disk_bytes / (1 << 30)))
    print("%-46s %9s %9s %8s %9s  %s" % ("", "seconds", "MB/s", "cpu s", "peak MB", "against"))
    for content, arg in [("random", 0), ("zeros25", 1)]:
        for parallel in [0, 1]:
            mode = "disks in parallel" if parallel else "disks one by one"
            copy = refs[(content, bool(parallel))]
            result = ours["BM_Full/%d/%d" % (arg, parallel)]
            line("full backup, %s, %s" % (content, mode), result,
                 "%.2f of dd conv=fsync copies (%.3f s)" % (copy["seconds"] / result["seconds"], copy["seconds"]))
            line("  dd copies, %s, %s" % (content, mode), copy)
    crc = ours["BM_ReadAndCRC"]
    line("cold read and CRC of the disks (reference)", crc)
    for percent in [0, 5]:
        result = ours["BM_ChecksumIncremental/%d" % percent]
        line("checksum incremental, %d%% changed" % percent, result,
             "%.2f of the read-and-CRC pass" % (crc["seconds"] / result["seconds"]))
    for percent in [0, 1, 5]:
        result = ours["BM_ChangeIdIncremental/%d" % percent]
        alone = ours.get("BM_ChangedBytesAlone/%d" % percent)
        note = ("changed bytes alone: %.3f s" % alone["seconds"]) if alone else ""
        line("change-id incremental, %d%% changed" % percent, result, note)
    for (tool, label), result in sorted(others.items()):
        line("%s %s" % (tool, label), result)
    print()
    full = ours["BM_Full/0/0"]
    cid1 = ours["BM_ChangeIdIncremental/1"]
    for tool in ["restic", "borg"]:
        if (tool, "full") not in others:
            continue
        print("%s: our full backup %.2f times as fast; our 1%%-change incremental by change ids %.1f times as fast "
              "(their 1%%: %.3f s, 5%%: %.3f s)" %
              (tool, others[(tool, "full")]["seconds"] / full["seconds"],
               others[(tool, "change1")]["seconds"] / cid1["seconds"], others[(tool, "change1")]["seconds"],
               others[(tool, "change5")]["seconds"]))


if __name__ == "__main__":
    main()
