#!/usr/bin/env python3
"""How often a front over shards gives the same answer as one node holding every track.

    samepages.py NODE_URL FRONT_URL LIST [COUNT]

Asks both for the first page (50 tracks) of the first COUNT (150) queries of LIST, a file of
search paths as the benchmarks' lists hold them, and prints how many first pages are the same
(titles, in order), how many hold the same tracks in any order, and how many totals are equal.
Above 10,000 matches a node estimates its total within 5 % while a front counts exactly, so
those totals may differ."""
import re
import sys
import urllib.request


def page(base, path):
    with urllib.request.urlopen(base + path, timeout=30) as reply:
        body = reply.read().decode()
    total = int(re.search(r'total="(\d+)"', body).group(1))
    return total, re.findall(r"<title>(.*?)</title>", body)


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    node, front, name = sys.argv[1:4]
    count = int(sys.argv[4]) if len(sys.argv) == 5 else 150
    with open(name) as lines:
        paths = [line.strip() for line in lines if line.strip()][:count]
    same_page = same_set = same_total = large = 0
    for path in paths:
        # The first page of 50, whatever page the list asks for.
        path = re.sub(r"/\d+/\d+$", "/0/50", path)
        a, b = page(node, path), page(front, path)
        same_page += a[1] == b[1]
        same_set += sorted(a[1]) == sorted(b[1])
        same_total += a[0] == b[0]
        large += a[0] != b[0] and max(a[0], b[0]) > 10000
    print(f"{len(paths)} queries: same first page {same_page}, same tracks {same_set}, "
          f"same total {same_total} (of the others, {large} above 10,000)")


if __name__ == "__main__":
    main()
