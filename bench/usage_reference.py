#!/usr/bin/env python3
"""An independent count of the tokens in a projects tree, for checking the usage scanner.

    usage_reference.py <folder>

<folder> holds projects/ as Claude Code (or make_projects) writes it. Every line is
decoded in full, with none of the scanner's shortcuts: a reply counts when its "type" is
"assistant", its message has a usage object, it has a timestamp and its model is not
"<synthetic>". A message id counts once across all files, at its copy with the most
tokens. Transcripts not written to in the 15 days before "now" (a minute after the
newest file or folder) are left out, and so are replies older than the ten-minute slot that holds
that cutoff. Prints the totals in the order usage_bench prints them.
"""
import datetime
import json
import math
import os
import sys


def transcripts(projects):
    for project in sorted(os.listdir(projects)):
        folder = os.path.join(projects, project)
        if not os.path.isdir(folder):
            continue
        for entry in sorted(os.listdir(folder)):
            path = os.path.join(folder, entry)
            if entry.endswith(".jsonl") and os.path.isfile(path):
                yield path
            elif "." not in entry:
                sub = path if entry == "subagents" else os.path.join(path, "subagents")
                for root, _, names in os.walk(sub):
                    for name in sorted(names):
                        if name.endswith(".jsonl"):
                            yield os.path.join(root, name)


def main():
    projects = os.path.join(sys.argv[1], "projects")
    paths = list(transcripts(projects))
    # The folders too: a tree written just now dates them after its files.
    folders = [root for root, _, _ in os.walk(projects)]
    now = max(os.stat(p).st_mtime for p in paths + folders) + 60
    cutoff = now - 15 * 86400
    oldest = math.floor(cutoff / 600) * 600
    best = {}  # message id -> counts
    anonymous = []
    for path in paths:
        if not os.stat(path).st_mtime > cutoff:
            continue
        with open(path, "rb") as file:
            data = file.read()
        for raw in data.split(b"\n")[:-1]:
            try:
                line = json.loads(raw)
            except ValueError:
                continue
            if not isinstance(line, dict) or line.get("type") != "assistant":
                continue
            message = line.get("message")
            if not isinstance(message, dict) or not isinstance(message.get("usage"), dict):
                continue
            if message.get("model") == "<synthetic>" or "timestamp" not in line:
                continue
            stamp = datetime.datetime.fromisoformat(line["timestamp"].replace("Z", "+00:00"))
            if math.floor(stamp.timestamp() / 600) * 600 < oldest:
                continue
            usage = message["usage"]
            one_hour = (usage.get("cache_creation") or {}).get("ephemeral_1h_input_tokens", 0)
            counts = [usage.get("input_tokens", 0), usage.get("output_tokens", 0),
                      usage.get("cache_creation_input_tokens", 0),
                      usage.get("cache_read_input_tokens", 0), 1, one_hour]
            key = message.get("id")
            if not key:
                anonymous.append(counts)
            elif key not in best or sum(counts[:4]) > sum(best[key][:4]):
                best[key] = counts
    totals = [0] * 6
    for counts in list(best.values()) + anonymous:
        totals = [a + b for a, b in zip(totals, counts)]
    print("totals: input %d, output %d, cache write %d (1 h: %d), cache read %d, messages %d"
          % (totals[0], totals[1], totals[2], totals[5], totals[3], totals[4]))


if __name__ == "__main__":
    main()
