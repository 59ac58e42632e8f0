# A Python workload: dicts, lists, strings and json, records built, serialised, parsed, indexed
# and sorted. Run with PYTHONMALLOC=malloc so that every object comes from malloc. The argument
# scales it (the number of records).
import json
import random
import sys

count = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
random.seed(1)
records = [{"id": i, "name": "user%d" % i, "tags": [str(random.random())[:6] for _ in range(3)],
            "score": random.random(), "nested": {"a": i * 2, "b": [i, i + 1]}}
           for i in range(count)]
text = json.dumps(records)
back = json.loads(text)
index = {}
for r in back:
    index.setdefault(r["name"][-2:], []).append(r)
counts = {}
for word in " ".join(r["name"] + " " + " ".join(r["tags"]) for r in back).split():
    counts[word[:4]] = counts.get(word[:4], 0) + 1
ranked = sorted(back, key=lambda r: (r["score"], r["id"]))
lines = ["%s,%d,%.3f" % (r["name"], r["id"], r["score"]) for r in ranked]
del records, back
print(len(text), len(index), len(counts), len("\n".join(lines)))
