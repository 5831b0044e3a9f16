#!/usr/bin/python3
"""Rows per second of glyphary-migrate --apply on SQLite, against the plain script a site
maintainer would write: select every row, convert each with the package, write them all back
with executemany in one transaction. One run of each per round, on copies of the same table.

    cmake --build build --target migrate-bench
    PYTHONPATH=build/python /usr/bin/python3 bench/migrate_bench.py [--rows N] [--rounds N] [--check]

The table: an integer key and a 1 KB text body, 5 % of the rows holding i-mode emoji; both
sides make the same rows (checked). Each side runs in a child process, whose peak memory is
shown too: the migration's stays bounded by its batch, the script's grows with the table.
--check exits 1 unless the migration makes, in the median round, at least 50,000 rows per
second and twice the script's rate.
"""

import argparse
import json
import os
import random
import resource
import shutil
import statistics
import sqlite3
import subprocess
import sys
import tempfile
import time

import glyphary

TARGET = 50_000
WORDS = "今日は 駅前の カフェで 会いましょう see you soon at the station bye".split()


def make(path, rows):
    emoji = glyphary.Glyphary("imode").map_ids("imode")
    sun = glyphary.Glyphary("imode").localize(":sunny:")
    rng = random.Random(5)
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE posts (id INTEGER PRIMARY KEY, body TEXT)")

    def body(i):
        text = " ".join(rng.choice(WORDS) for _ in range(120))[:1000]
        if i % 20 == 0:
            text = text[:300] + sun + " " + glyphary.Glyphary("imode").localize(":%s:" % rng.choice(emoji)) + text[300:]
        return text

    db.executemany("INSERT INTO posts VALUES (?, ?)", ((i, body(i)) for i in range(rows)))
    db.commit()
    db.close()


def plain(path):
    """The script: everything read, converted, written back in one executemany."""
    source, target = glyphary.Glyphary("imode"), glyphary.Glyphary("unicode")
    source.globalize_format = "\ufdd0%1%\ufdd1"
    target.localize_pattern = "\ufdd0([^\ufdd1]*)\ufdd1"
    db = sqlite3.connect(path)
    rows = db.execute("SELECT id, body FROM posts").fetchall()
    done = [(target.localize(source.globalize(body)), key) for key, body in rows]
    db.executemany("UPDATE posts SET body = ? WHERE id = ?", done)
    db.commit()
    db.close()
    return len(rows)


def migration(path):
    from glyphary import migrate

    with open(os.devnull, "w") as quiet:
        status = migrate.main(["sqlite:///" + path, "--table", "posts", "--from", "imode", "--to",
                               "unicode", "--apply"], quiet, quiet)  # fmt: skip
    if status:
        sys.exit("glyphary-migrate exited %d" % status)


def child(side, path):
    # The rows counted off the clock: the script knows them from its read, the program does not
    # say them.
    rows = sqlite3.connect(path).execute("SELECT count(*) FROM posts").fetchone()[0]
    start = time.perf_counter()
    {"plain": plain, "migrate": migration}[side](path)
    seconds = time.perf_counter() - start
    print(json.dumps({"rate": rows / seconds, "peak_kb": peak_kb()}))


def peak_kb():
    # The process's own high-water mark: ru_maxrss would also count the parent's memory, which
    # the child had until its exec.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=200_000)
    p.add_argument("--rounds", type=int, default=1)
    p.add_argument("--check", action="store_true")
    p.add_argument("--side", help=argparse.SUPPRESS)
    p.add_argument("path", nargs="?", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.side:
        return child(args.side, args.path)

    work = tempfile.mkdtemp(prefix="glyphary-migrate-bench-")
    rounds = []
    try:
        original = os.path.join(work, "site.db")
        make(original, args.rows)
        # The sides alternate, round after round, so a load that comes and goes on the machine
        # falls on both alike; each round's ratio is shown, then the median.
        for _ in range(args.rounds):
            results, tables = {}, {}
            for side in ("plain", "migrate"):
                path = os.path.join(work, side + ".db")
                shutil.copyfile(original, path)
                out = subprocess.run([sys.executable, __file__, "--side", side, path],
                                     capture_output=True, text=True, check=True).stdout  # fmt: skip
                results[side] = json.loads(out)
                tables[side] = sqlite3.connect(path).execute(
                    "SELECT * FROM posts ORDER BY id").fetchall()
            if tables["plain"] != tables["migrate"]:
                sys.exit("the two sides made different rows")
            rounds.append(results)
            print("round %d: script %7.0f rows/s (peak %4.0f MB), glyphary-migrate %7.0f rows/s "
                  "(peak %4.0f MB): %.2fx" % (len(rounds), results["plain"]["rate"],
                  results["plain"]["peak_kb"] / 1024, results["migrate"]["rate"],
                  results["migrate"]["peak_kb"] / 1024,
                  results["migrate"]["rate"] / results["plain"]["rate"]), flush=True)  # fmt: skip
    finally:
        shutil.rmtree(work, ignore_errors=True)
    rate = statistics.median(r["migrate"]["rate"] for r in rounds)
    ratio = statistics.median(r["migrate"]["rate"] / r["plain"]["rate"] for r in rounds)
    print("%d rows of 1 KB, 5 %% with emoji, median of %d rounds: glyphary-migrate %.0f rows/s, "
          "%.2fx the script" % (args.rows, len(rounds), rate, ratio))
    if args.check and (rate < TARGET or ratio < 2):
        sys.exit(1)

if __name__ == "__main__":
    main()
