"""Per-round ratios from hyperfine's JSON exports.

    ratios.py LABEL ROUND.json...

Each file is one round in which the same commands ran side by side; the first
command is proxywarden's. For every other command it prints the ratio of
proxywarden's median time to that command's, round by round, and the median of
those ratios, which is what the targets are stated in."""
import json
import statistics
import sys

label, files = sys.argv[1], sys.argv[2:]
rounds = [json.load(open(f))["results"] for f in files]
names = [r["command"] for r in rounds[0]]
print(f"## {label}")
for i, name in enumerate(names):
    medians = [r[i]["median"] * 1000 for r in rounds]
    line = f"  {name:45.45} median {statistics.median(medians):9.3f} ms"
    if i > 0:
        ratios = [r[0]["median"] / r[i]["median"] for r in rounds]
        line += "  proxywarden/this per round: " + " ".join(f"{x:.2f}" for x in ratios)
        line += f"  median {statistics.median(ratios):.2f}"
    print(line)
