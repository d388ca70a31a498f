#!/usr/bin/env python3
"""Prints which product folder includes which (from `#include "<folder>/..."` lines) and exits
with status 1 when the folders include each other in a cycle. Tests, fuzz targets, benchmarks
and the stand-in hosts may include any folder and are not part of the graph.

usage: check_include_cycles.py [SOURCE_DIR]
"""
import os
import re
import sys

SKIP = {"tests", "fuzz", "bench", "host", "tools", "cmake", "build", ".git", ".ci"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def folder_graph(root):
    """{folder: {included folder: [file that includes it, ...]}} over the product folders."""
    folders = sorted(name for name in os.listdir(root)
                     if os.path.isdir(os.path.join(root, name)) and name not in SKIP
                     and not name.startswith(("build", ".")))
    graph = {}
    for folder in folders:
        edges = graph.setdefault(folder, {})
        for base, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8", errors="replace") as source:
                    text = source.read()
                for target in INCLUDE.findall(text):
                    if target != folder and target in folders:
                        edges.setdefault(target, []).append(os.path.relpath(path, root))
    return graph


def cycles(graph):
    """The strongly connected components with more than one folder (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for nxt in graph[node]:
            if nxt not in index:
                visit(nxt)
                low[node] = min(low[node], low[nxt])
            elif nxt in on_stack:
                low[node] = min(low[node], index[nxt])
        if low[node] == index[node]:
            component = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                component.append(top)
                if top == node:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for node in graph:
        if node not in index:
            visit(node)
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    graph = folder_graph(os.path.abspath(root))
    for folder, edges in graph.items():
        print("%-9s -> %s" % (folder, " ".join(sorted(edges)) or "(nothing)"))
    found = cycles(graph)
    for component in found:
        print("include cycle among: %s" % ", ".join(component))
        for folder in component:
            for target in sorted(graph[folder]):
                if target in component:
                    print("  %s -> %s (%s)" % (folder, target, ", ".join(graph[folder][target])))
    if found:
        return 1
    print("no include cycle between folders")
    return 0


if __name__ == "__main__":
    sys.exit(main())
