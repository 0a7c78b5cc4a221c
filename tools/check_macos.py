#!/usr/bin/env python3
"""Compiles every source of a macOS configuration of the project against the SDK.

tools/check-macos.sh configures the project for macOS and runs this on the result. The
sources, their flags, include folders and definitions come from CMake's file API, so a
source added to any target is checked without a change here. Each executable's
deployment target is the one CMake gives its own sources; every source is compiled at
the target of each executable it goes into (a source shared by two executables at both),
for arm64 and for x86_64, with -fsyntax-only and the platform's own C++ library (libc++,
the default of Apple's compiler). Library sources that no executable links
are still compiled by a macOS build, so they are checked at their own target.
Prints one line per compile and a closing count; exits 1 when any compile failed.
"""
import argparse
import concurrent.futures
import glob
import json
import os
import re
import shlex
import subprocess
import sys

ARCHITECTURES = ("arm64", "x86_64")
LANGUAGES = {"CXX": "c++", "OBJCXX": "objective-c++", "C": "c", "OBJC": "objective-c"}
DEPLOYMENT = re.compile(r"-mmacosx-version-min=(\S+)")


def load_targets(build):
    """The targets of the configuration, by id, as the file API describes them."""
    reply = os.path.join(build, ".cmake", "api", "v1", "reply")
    index = json.load(open(max(glob.glob(os.path.join(reply, "index-*.json")))))
    codemodel = json.load(open(os.path.join(reply, index["reply"]["codemodel-v2"]["jsonFile"])))
    targets = {}
    for entry in codemodel["configurations"][0]["targets"]:
        targets[entry["id"]] = json.load(open(os.path.join(reply, entry["jsonFile"])))
    return targets


def deployment_target(target):
    """The macOS version the target's own sources are compiled for, or None."""
    for group in target.get("compileGroups", []):
        for fragment in group["compileCommandFragments"]:
            found = DEPLOYMENT.search(fragment["fragment"])
            if found:
                return found.group(1)
    return None


def platform_neutral_flags(group):
    """The group's flags without those naming an architecture, SDK or deployment target."""
    words = []
    for fragment in group["compileCommandFragments"]:
        words += shlex.split(fragment["fragment"])
    flags, skip = [], False
    for word in words:
        if skip:
            skip = False
        elif word in ("-arch", "-isysroot", "-target"):
            skip = True
        elif not word.startswith(("-mmacosx-version-min=", "--target=")):
            flags.append(word)
    for define in group.get("defines", []):
        flags.append("-D" + define["define"])
    for include in group.get("includes", []):
        flags += ["-isystem" if include.get("isSystem") else "-I", include["path"]]
    return flags


def compile_units(targets, source_dir):
    """(path, language, flags) of every compiled source, each with the versions to check it at."""
    compiled = {i: t for i, t in targets.items() if t["type"] in ("EXECUTABLE", "STATIC_LIBRARY",
                                                                  "SHARED_LIBRARY", "OBJECT_LIBRARY")}
    versions = {i: set() for i in compiled}
    for exe_id, exe in compiled.items():
        if exe["type"] != "EXECUTABLE":
            continue
        version = deployment_target(exe)
        pending, seen = [exe_id], set()
        while pending:  # the executable and everything it depends on, directly or not
            member = pending.pop()
            if member in seen or member not in compiled:
                continue
            seen.add(member)
            versions[member].add(version)
            pending += [d["id"] for d in compiled[member].get("dependencies", [])]
    units = {}
    for target_id, target in compiled.items():
        at = versions[target_id] or {deployment_target(target)}
        for source in target.get("sources", []):
            if "compileGroupIndex" not in source or source.get("isGenerated"):
                continue
            group = target["compileGroups"][source["compileGroupIndex"]]
            path = os.path.relpath(os.path.join(source_dir, source["path"]), source_dir)
            key = (path, LANGUAGES[group["language"]], tuple(platform_neutral_flags(group)))
            units.setdefault(key, set()).update(at)
    return units


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--sdk", required=True)
    parser.add_argument("--clang", required=True)
    parser.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1))
    args = parser.parse_args()
    source_dir = os.getcwd()

    targets = load_targets(args.build)
    units = compile_units(targets, source_dir)
    missing = sorted(path for (path, _, _), at in units.items() if None in at)
    if missing:
        print("no deployment target set for: " + ", ".join(missing), file=sys.stderr)
        return 1
    jobs = []
    for (path, language, flags), at in sorted(units.items()):
        for version in sorted(at, key=version_key):
            for arch in ARCHITECTURES:
                command = [args.clang, "-target", f"{arch}-apple-macos{version}", "-isysroot", args.sdk,
                           "-stdlib=libc++", "-x", language, *flags, "-fsyntax-only", path]
                jobs.append((path, arch, version, command))

    def run(job):
        return subprocess.run(job[3], capture_output=True, text=True)

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for (path, arch, version, _), result in zip(jobs, pool.map(run, jobs)):
            if result.returncode == 0:
                print(f"ok      {arch:<7} {version:<5} {path}", flush=True)
            else:
                failed += 1
                sys.stdout.write(result.stdout + result.stderr)
                print(f"FAILED  {arch:<7} {version:<5} {path}", flush=True)
    sources = len({path for path, _, _ in units})
    exes = sorted((t["name"], deployment_target(t)) for t in targets.values() if t["type"] == "EXECUTABLE")
    print(f"{sources} macOS sources, {len(jobs)} compiles ({', '.join(ARCHITECTURES)}; "
          + ", ".join(f"{name} at {version}" for name, version in exes)
          + f"), {failed} with errors")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
