#!/usr/bin/env python3
"""The data path beside its references, in one run (see scripts/bench.sh).

Runs tests/bench/datapath_bench (one benchmark per process, so that each peak resident set is its
own), then on the same disk images: dd copies with conv=fsync (one after the other and four at once),
and, when installed, restic and borg (a full backup, then after 5% and after 1% of every disk
changed). Each run makes new labs. The page cache of the images is dropped before every measured run. Every measurement runs
beside its reference, the whole set --rounds times, and each figure is its best run. Prints one table
with the times, throughput, CPU seconds and peak memory, and the ratios the goals are stated in.
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
            "peak_mb": run.get("peak_rss_mb", 0.0), "sent": run.get("sent_bytes", 0.0),
            "road": run.get("road_s", 0.0), "ending": run.get("ending_s", 0.0)}


def load():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def fsync_latency(folder):
    """Median seconds of writing 4 KiB to a new file and syncing it: the price of each durable step."""
    times = []
    for i in range(15):
        path = os.path.join(folder, "fsync-probe")
        start = time.monotonic()
        with open(path, "wb") as f:
            f.write(b"x" * 4096)
            f.flush()
            os.fsync(f.fileno())
        times.append(time.monotonic() - start)
        os.unlink(path)
    return sorted(times)[len(times) // 2]


def best(results):
    return min(results, key=lambda r: r["seconds"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--dir", default="/var/tmp/quarn-bench")
    parser.add_argument("--disk-mib", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=2, help="each figure is the best of this many runs")
    args = parser.parse_args()
    if args.disk_mib < 512:
        print("note: disks of %d MiB, below the 512 MiB the figures are meant for" % args.disk_mib)
    if args.rounds < 1:
        sys.exit("--rounds must be at least 1")
    bench = os.path.join(args.build, "datapath_bench")
    labtool = os.path.join(args.build, "quarn-lab")
    env = dict(os.environ, QUARN_BENCH_DIR=args.dir, QUARN_BENCH_DISK_MIB=str(args.disk_mib))
    disk_bytes = DISKS * args.disk_mib * (1 << 20)
    scratch = os.path.join(args.dir, "copies")

    def images_of(content):
        folder = os.path.join(args.dir, content, "hypervisor", "vcenter", "datastores", "ds1", "vm01")
        return folder, [os.path.join(folder, "vm01_%d.img" % disk) for disk in range(DISKS)]

    def ours(name):
        return run_bench(bench, name + "/iterations:1/manual_time", env)

    def dd_copies(content, parallel):
        _, images = images_of(content)
        shutil.rmtree(scratch, ignore_errors=True)
        os.makedirs(scratch)
        evict(images)
        copies = ["dd if=%s of=%s/%d.img bs=1M conv=fsync status=none" % (image, scratch, i)
                  for i, image in enumerate(images)]
        script = (" & ".join(copies) + " & wait") if parallel else " && ".join(copies)
        result = timed(["bash", "-c", script])
        shutil.rmtree(scratch)
        return result

    def change(percent):
        for disk in range(DISKS):
            subprocess.run([labtool, "disk", os.path.join(args.dir, "random"), "vm01", str(disk), "write", "--percent",
                            str(percent)], check=True, stdout=subprocess.DEVNULL)

    def others(tool):
        """A full backup, then after 5% and after 1% of every disk changed, into a new repository."""
        folder, images = images_of("random")
        repo = os.path.join(args.dir, tool + "-repo")
        shutil.rmtree(repo, ignore_errors=True)
        tool_env = dict(os.environ, RESTIC_PASSWORD="bench", BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK="yes")
        if tool == "restic":
            subprocess.run(["restic", "-r", repo, "init"], env=tool_env, check=True, stdout=subprocess.DEVNULL)
            backup = lambda label: ["restic", "-r", repo, "backup", "--quiet", folder]
        else:
            subprocess.run(["borg", "init", "-e", "none", repo], env=tool_env, check=True, stdout=subprocess.DEVNULL)
            backup = lambda label: ["borg", "create", repo + "::" + label, folder]
        results = {}
        for label, percent in [("full", 0), ("change5", 5), ("change1", 1)]:
            if percent:
                change(percent)
            evict(images)
            results[label] = timed(backup(label), env=tool_env)
        shutil.rmtree(repo, ignore_errors=True)
        return results

    # Each measurement runs right beside its reference, and the whole set runs --rounds times: on a
    # machine others share, a figure's best run is the one least disturbed by them.
    steps = [("BM_ReadAndCRC", lambda: ours("BM_ReadAndCRC"))]
    for content, arg in [("random", 0), ("zeros25", 1)]:
        for parallel in [0, 1]:
            steps.append(("BM_Full/%d/%d" % (arg, parallel), lambda a=arg, p=parallel: ours("BM_Full/%d/%d" % (a, p))))
            steps.append(("dd/%s/%d" % (content, parallel), lambda c=content, p=parallel: dd_copies(c, p)))
    for name in ["BM_ChecksumIncremental/0", "BM_ChecksumIncremental/5", "BM_ChangeIdIncremental/0",
                 "BM_ChangeIdIncremental/1", "BM_ChangeIdIncremental/5", "BM_ChangedBytesAlone/1",
                 "BM_ChangedBytesAlone/5"]:
        steps.append((name, lambda n=name: ours(n)))
    tools = [tool for tool in ["restic", "borg"] if shutil.which(tool) is not None]
    for tool in ["restic", "borg"]:
        if tool not in tools:
            print("note: %s is not installed; its rows are left out" % tool)

    # New labs for every run: a lab's index grows with each job, and an incremental reads it (after some
    # two hundred jobs a no-change incremental took twice as long).
    for content in ["random", "zeros25"]:
        shutil.rmtree(os.path.join(args.dir, content), ignore_errors=True)

    runs = {}
    loads = []
    sync = []
    for round in range(args.rounds):
        loads.append(load())
        os.makedirs(args.dir, exist_ok=True)
        sync.append(fsync_latency(args.dir))
        for name, step in steps:
            runs.setdefault(name, []).append(step())
        for tool in tools:
            for label, result in others(tool).items():
                runs.setdefault("%s %s" % (tool, label), []).append(result)
        loads.append(load())
    fig = {name: best(results) for name, results in runs.items()}

    def mbs(result):
        return disk_bytes / result["seconds"] / 1e6

    def line(name, result, note=""):
        print("%-46s %9.3f %9.1f %8.2f %9.1f  %s" % (name, result["seconds"], mbs(result), result["cpu"],
                                                    result["peak_mb"], note))

    print()
    print("%s; four disks of %d MiB (%.2f GiB) of seeded bytes; the images' page cache dropped before each run" %
          (time.strftime("%Y-%m-%d %H:%M %Z"), args.disk_mib, disk_bytes / (1 << 30)))
    print("best of %d rounds; 1-minute load %s (%d cores); a 4 KiB write and fsync took %s ms (median per round)" %
          (args.rounds, " / ".join("%.1f" % l for l in loads), os.cpu_count(),
           " / ".join("%.1f" % (s * 1000) for s in sync)))
    print("MB/s counts the disks' bytes whatever was read or sent")
    print("%-46s %9s %9s %8s %9s  %s" % ("", "seconds", "MB/s", "cpu s", "peak MB", "against"))
    for content, arg in [("random", 0), ("zeros25", 1)]:
        for parallel in [0, 1]:
            mode = "disks in parallel" if parallel else "disks one by one"
            copy = fig["dd/%s/%d" % (content, parallel)]
            result = fig["BM_Full/%d/%d" % (arg, parallel)]
            line("full backup, %s, %s" % (content, mode), result,
                 "%.2f of dd conv=fsync copies (%.3f s)" % (copy["seconds"] / result["seconds"], copy["seconds"]))
            line("  dd copies, %s, %s" % (content, mode), copy)
    crc = fig["BM_ReadAndCRC"]
    line("cold read and CRC of the disks (reference)", crc)
    for percent in [0, 5]:
        result = fig["BM_ChecksumIncremental/%d" % percent]
        line("checksum incremental, %d%% changed" % percent, result,
             "%.2f of the read-and-CRC pass" % (crc["seconds"] / result["seconds"]))
    base = fig["BM_ChangeIdIncremental/0"]
    for percent in [0, 1, 5]:
        result = fig["BM_ChangeIdIncremental/%d" % percent]
        alone = fig.get("BM_ChangedBytesAlone/%d" % percent)
        note = "road %.3f s, job's ending %.3f s" % (result["road"], result["ending"])
        if alone:
            note += "; changed bytes alone %.3f s, above no change %.3f s" % (alone["seconds"],
                                                                            result["seconds"] - base["seconds"])
        line("change-id incremental, %d%% changed" % percent, result, note)
    for tool in tools:
        for label in ["full", "change5", "change1"]:
            line("%s %s" % (tool, label), fig["%s %s" % (tool, label)])
    print()
    full = fig["BM_Full/0/0"]
    cid1 = fig["BM_ChangeIdIncremental/1"]
    cid5 = fig["BM_ChangeIdIncremental/5"]
    for tool in tools:
        print("%s: our full backup %.2f times as fast; by change ids our 1%%-change incremental %.1f times and our "
              "5%%-change %.1f times as fast" %
              (tool, fig[tool + " full"]["seconds"] / full["seconds"], fig[tool + " change1"]["seconds"] / cid1["seconds"],
               fig[tool + " change5"]["seconds"] / cid5["seconds"]))


if __name__ == "__main__":
    main()
