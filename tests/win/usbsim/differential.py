#!/usr/bin/env python3
"""The shipped console program on the real Windows path against the model, topology by topology.

For each topology: keldar-console.exe --json runs under wine on the simulated USB driver
(scripts/usbsim) and must print what the native `keldar --topology FILE --json` prints, the
`source` and `environment` keys aside (the environment is wine's machine, not the topology's).
Then keldar-console.exe --export records the live machine, and the native reader must make the
same detection of that recording. A mismatch names the topology and the first differing JSON
path. Each topology runs again on the strict hub driver (scripts/usbsim --personality strict):
its --json must print the same. The generated machines also run on the vanishing hub driver
(no crash, every handle closed), and they and the demo on the hanging one (the run ends, what
was held is cancelled, and the report is the model's with the held hub never answering). On a
machine whose code page is not 936, the text report must also equal the native one: the
notices (GBK) and the names (the machine's code page) meet there.

    differential.py [--jobs N] [--costs FILE] [--personalities LIST] [TOPOLOGY...]

Without topologies: every fixture in tests/data/fixtures, samples/demo.json and a few
generated machines. --costs writes, per topology, what the driver served to one detection.
"""
import argparse
import concurrent.futures
import itertools
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
NATIVE = os.path.join(ROOT, "build/native/cli/keldar")
TOOL = os.path.join(ROOT, "build/native/tools/usbsim/keldar_usbsim")
GENERATOR = os.path.join(ROOT, "build/native/tools/keldar_generate_machine")
CONSOLE = os.path.join(ROOT, "build/mingw/cli/keldar-console.exe")
USBSIM = os.path.join(ROOT, "scripts/usbsim")
WORK = os.path.join(ROOT, "build/usbsim/differential")

# Topologies that hold a fault neither a driver nor the registry can produce. Each is still
# run with that fault taken out (the rest of its faults are real), and the simulator must keep
# refusing the original: a listed reason that no longer holds fails the test.
NOT_PRODUCIBLE = {
    "missing-names.json": (
        "friendlyNameReadFails: SetupAPI reads a registry value whole, so a friendly-name read "
        "that first asks for a bigger buffer and then fails cannot be made",
        ["controllers", 0, "rootHub", "ports", 4, "device", "faults"]),
}

# Topologies the simulator must refuse as they are, with the reason it must give: a machine whose
# ANSI code page no prefix locale gives (the prefixes run with 936 or 1252).
REFUSED = {
    "tests/data/hostile/terminal-control-utf8.json": "ansiCodePage: 65001",
}

# A key whose file says nothing of its state replays with this one reason; the simulated
# machine still answers for it (no Service, no ConfigFlags, wine's device-node status), so of
# such a key only the sighting is compared, not its verdict.
UNSTATED = "the source gives no status for the key"
VERDICT = ("driver", "usable", "reasons", "notes")

# A run on the hanging hub driver that takes longer than this froze: it would never end. (A run
# takes a few seconds, the wine prefix's start included.)
HANGING_TIME_LIMIT = 120

# Generated machines: (name, controllers, hub tiers, tree items, seed).
GENERATED = [
    ("generated-deep-hubs", 1, 5, 260, 7),
    ("generated-ten-controllers", 10, 1, 400, 3),
    ("generated-wide-machine", 3, 3, 900, 11),
]


def first_difference(a, b, path="$"):
    """The JSON path of the first place where a and b differ, or None."""
    if type(a) is not type(b):
        return path
    if isinstance(a, dict):
        for key in list(a) + [k for k in b if k not in a]:
            if key not in a or key not in b:
                return f"{path}.{key}"
            found = first_difference(a[key], b[key], f"{path}.{key}")
            if found:
                return found
        return None
    if isinstance(a, list):
        for i, (x, y) in enumerate(zip(a, b)):
            found = first_difference(x, y, f"{path}[{i}]")
            if found:
                return found
        return None if len(a) == len(b) else f"{path}[{min(len(a), len(b))}]"
    return None if a == b else path


def describe(document, path):
    node = document
    for part in path.replace("]", "").replace("[", ".").split(".")[1:]:
        try:
            node = node[int(part)] if isinstance(node, list) else node[part]
        except (KeyError, IndexError, ValueError, TypeError):
            return "(absent)"
    return json.dumps(node, ensure_ascii=False)[:160]


def drop_unstated_verdicts(expected, *others):
    for index, key in enumerate(expected.get("keys", [])):
        if [reason.get("fact") for reason in key.get("reasons", [])] != [UNSTATED]:
            continue
        for document in (expected, *others):
            if index < len(document.get("keys", [])):
                for field in VERDICT:
                    document["keys"][index].pop(field, None)


def native_json(topology):
    run = subprocess.run([NATIVE, "--topology", topology, "--json"], capture_output=True)
    if run.returncode != 0:
        raise RuntimeError(f"native keldar on {topology}: exit {run.returncode}: "
                           f"{run.stderr.decode(errors='replace').strip()}")
    document = json.loads(run.stdout)
    document.pop("source", None)
    # Where the program runs is the machine wine runs on, which the simulator does not make.
    document.pop("environment", None)
    return document


def run_live(topology, work, prefix, arguments, counters=None, personality="documented",
             timeout=600):
    """keldar-console.exe ARGUMENTS on the simulated machine."""
    env = dict(os.environ, KELDAR_USBSIM_PREFIX=prefix)
    if counters:
        env["KELDAR_USBSIM_COUNTERS"] = counters
    return subprocess.run([USBSIM, "--personality", personality, topology, "--", "wine", CONSOLE,
                           *arguments],
                          capture_output=True, cwd=work, env=env, timeout=timeout)


def live(topology, work, prefix, arguments, counters=None, personality="documented",
         timeout=600):
    """keldar-console.exe ARGUMENTS on the simulated machine; its JSON document."""
    run = run_live(topology, work, prefix, arguments, counters, personality, timeout)
    if run.returncode != 0:
        raise RuntimeError(f"keldar-console.exe {' '.join(arguments)}: exit {run.returncode}: "
                           f"{run.stderr.decode(errors='replace').strip()[-600:]}")
    document = json.loads(run.stdout)
    if document.get("source") != "live":
        raise RuntimeError(f"source is {document.get('source')!r}, not 'live'")
    document.pop("source")
    document.pop("environment", None)
    return document


def report_lines(output):
    """The text report's lines but the first (where the report comes from). The Windows build
    writes a pipe in text mode: its lines end in CR LF."""
    return output.replace(b"\r\n", b"\n").decode("utf-8", errors="replace").split("\n")[1:]


def check_text(name, topology, work, prefix):
    """The text report, where the notices (in the program's own code page, 936) meet the names
    (in the machine's): each must come out of its own code page as UTF-8."""
    native = subprocess.run([NATIVE, "--topology", topology], capture_output=True)
    shown = run_live(topology, work, prefix, [])
    if shown.returncode != native.returncode:
        return [f"{name}: the live text report ends with exit {shown.returncode}, the model's "
                f"with {native.returncode}"]
    expected, got = report_lines(native.stdout), report_lines(shown.stdout)
    for number, (line, live_line) in enumerate(itertools.zip_longest(expected, got), start=2):
        if line != live_line:
            return [f"{name}: the live text report differs from the model's at line {number}: "
                    f"expected {line!r}, got {live_line!r}"]
    return []


def check_case(name, topology, prefix, costs, personalities):
    work = os.path.join(WORK, name)
    os.makedirs(work, exist_ok=True)
    expected = native_json(topology)
    failures = []
    counters = os.path.join(work, "counters") if costs else None
    got = live(topology, work, prefix, ["--json"], counters)
    recording = os.path.join(work, "recorded.json")
    if os.path.exists(recording):
        os.remove(recording)
    live(topology, work, prefix, ["--json", "--export", "recorded.json"])
    replayed = native_json(recording)
    # The other hub drivers: the live report alone (the recording path is the same code).
    others = {p: live(topology, work, prefix, ["--json"], personality=p)
              for p in personalities if p not in ("documented", "vanishing", "hanging")}
    drop_unstated_verdicts(expected, got, replayed, *others.values())
    where = first_difference(expected, got)
    if where:
        failures.append(f"{name}: live run differs from the model at {where}: expected "
                        f"{describe(expected, where)}, got {describe(got, where)}")
    where = first_difference(expected, replayed)
    if where:
        failures.append(f"{name}: the live recording replays differently at {where}: expected "
                        f"{describe(expected, where)}, got {describe(replayed, where)}")
    for personality, document in others.items():
        where = first_difference(expected, document)
        if where:
            failures.append(f"{name}: the live run on the {personality} hub driver differs from the "
                            f"model at {where}: expected {describe(expected, where)}, got "
                            f"{describe(document, where)}")
    with open(topology, encoding="utf-8") as source:
        if json.load(source).get("ansiCodePage", 936) != 936:
            failures += check_text(name, topology, work, prefix)
    served = {}
    if counters:
        with open(counters) as lines:
            served = dict((k, int(v)) for k, v in (line.split() for line in lines))
    return failures, served


def check_vanishing(name, topology, prefix):
    """On the vanishing hub driver a device goes away mid-walk: the program must end as usual,
    with a report, and close every handle it opened."""
    work = os.path.join(WORK, name + "-vanishing")
    os.makedirs(work, exist_ok=True)
    counters = os.path.join(work, "counters")
    document = live(topology, work, prefix, ["--json"], counters, personality="vanishing")
    with open(counters) as lines:
        served = dict((k, int(v)) for k, v in (line.split() for line in lines))
    failures = []
    if served.get("Opens") != served.get("Closes"):
        failures.append(f"{name}: on the vanishing hub driver {served.get('Opens')} opens, "
                        f"{served.get('Closes')} closes")
    if not document.get("tree"):
        failures.append(f"{name}: no tree on the vanishing hub driver")
    return failures


def held_hub_marked(topology, scratch, name):
    """The topology with the hub that the hanging hub driver holds marked as one that never
    answers: the first external hub, depth first with ports in ascending order, else the first
    root hub (the driver's choice, in its image's order of hubs)."""
    with open(topology, encoding="utf-8") as source:
        document = json.load(source)

    def external_hubs(hub):
        for port in sorted(hub.get("ports", []), key=lambda p: p["port"]):
            below = (port.get("device") or {}).get("hub")
            if below is not None:
                yield below
                yield from external_hubs(below)

    roots = [c["rootHub"] for c in document.get("controllers", []) if c.get("rootHub")]
    held = next((hub for root in roots for hub in external_hubs(root)), roots[0] if roots else None)
    if held is None:
        return None
    held.setdefault("faults", {})["neverAnswers"] = True
    path = os.path.join(scratch, name + "-held-hub.json")
    with open(path, "w", encoding="utf-8") as out:
        json.dump(document, out, ensure_ascii=False, indent=2)
    return path


def check_hanging(name, topology, prefix, scratch):
    """On the hanging hub driver one hub never answers: the program must cancel what it asked,
    end as usual (a run that never ends fails by the time limit), and report what the model
    reports of the same machine with that hub marked as never answering."""
    work = os.path.join(WORK, name + "-hanging")
    os.makedirs(work, exist_ok=True)
    counters = os.path.join(work, "counters")
    marked = held_hub_marked(topology, scratch, name)
    expected = native_json(marked)
    document = live(topology, work, prefix, ["--json"], counters, personality="hanging",
                    timeout=HANGING_TIME_LIMIT)
    with open(counters) as lines:
        served = dict((k, int(v)) for k, v in (line.split() for line in lines))
    drop_unstated_verdicts(expected, document)
    failures = []
    if served.get("Held", 0) < 1 or served.get("Held") != served.get("Cancelled"):
        failures.append(f"{name}: on the hanging hub driver {served.get('Held')} requests held, "
                        f"{served.get('Cancelled')} cancelled")
    if served.get("Opens") != served.get("Closes"):
        failures.append(f"{name}: on the hanging hub driver {served.get('Opens')} opens, "
                        f"{served.get('Closes')} closes")
    where = first_difference(expected, document)
    if where:
        failures.append(f"{name}: the live run on the hanging hub driver differs from the model "
                        f"with its held hub never answering, at {where}: expected "
                        f"{describe(expected, where)}, got {describe(document, where)}")
    return failures


def cases(arguments, scratch):
    if arguments:
        return [(os.path.basename(t).removesuffix(".json"), os.path.abspath(t)) for t in arguments]
    found = []
    fixtures = os.path.join(ROOT, "tests/data/fixtures")
    for file in sorted(os.listdir(fixtures)):
        if not file.endswith(".json") or file.endswith(".golden.json"):
            continue
        path = os.path.join(fixtures, file)
        if file in NOT_PRODUCIBLE:
            reason, fault_path = NOT_PRODUCIBLE[file]
            refused = subprocess.run([TOOL, "check", path], capture_output=True)
            if refused.returncode != 3:
                raise SystemExit(f"{file} is listed as not producible, yet the simulator takes it")
            print(f"listed, not run as it is: {file}: {reason}")
            with open(path, encoding="utf-8") as source:
                variant = json.load(source)
            node = variant
            for part in fault_path:
                node = node[part]
            del node["friendlyNameReadFails"]
            if not node:
                parent = variant
                for part in fault_path[:-1]:
                    parent = parent[part]
                del parent[fault_path[-1]]
            path = os.path.join(scratch, file)
            with open(path, "w", encoding="utf-8") as out:
                json.dump(variant, out, ensure_ascii=False, indent=2)
            file = file.removesuffix(".json") + "-without-unproducible-fault.json"
        found.append((file.removesuffix(".json"), path))
    found.append(("demo", os.path.join(ROOT, "samples/demo.json")))
    for name, controllers, tiers, items, seed in GENERATED:
        path = os.path.join(scratch, name + ".json")
        with open(path, "wb") as out:
            subprocess.run([GENERATOR, str(items), "40", str(controllers), str(tiers), str(seed)],
                           stdout=out, check=True)
        found.append((name, path))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--costs")
    parser.add_argument("--personalities", default="documented,strict,vanishing,hanging")
    parser.add_argument("topologies", nargs="*")
    options = parser.parse_args()
    for needed in (NATIVE, TOOL, GENERATOR, CONSOLE):
        if not os.path.exists(needed):
            raise SystemExit(f"{needed} is missing: build the native and the Windows build first")
    os.makedirs(WORK, exist_ok=True)
    refusals = []
    for file, reason in REFUSED.items():
        refused = subprocess.run([TOOL, "check", os.path.join(ROOT, file)], capture_output=True)
        if refused.returncode != 3 or reason not in refused.stderr.decode(errors="replace"):
            refusals.append(f"{file}: the simulator does not refuse it for {reason} "
                            f"(exit {refused.returncode})")
    scratch = tempfile.mkdtemp(dir=WORK, prefix="topologies-")
    todo = cases(options.topologies, scratch)
    prefixes = [os.path.join(ROOT, f"build/usbsim/prefix-{n}") for n in range(options.jobs)]
    failures = []
    costs = {}

    def worker(slot):
        mine = todo[slot::options.jobs]
        results = []
        for name, topology in mine:
            try:
                found, served = check_case(name, topology, prefixes[slot], bool(options.costs),
                                           options.personalities.split(","))
            except (RuntimeError, json.JSONDecodeError, subprocess.TimeoutExpired) as error:
                found, served = [f"{name}: {error}"], {}
            if (name == "demo" or name.startswith("generated-")) and "hanging" in options.personalities:
                try:
                    found += check_hanging(name, topology, prefixes[slot], scratch)
                except (RuntimeError, json.JSONDecodeError, subprocess.TimeoutExpired) as error:
                    found.append(f"{name} (hanging): {error}")
            if name.startswith("generated-") and "vanishing" in options.personalities:
                try:
                    found += check_vanishing(name, topology, prefixes[slot])
                except (RuntimeError, json.JSONDecodeError, subprocess.TimeoutExpired) as error:
                    found.append(f"{name} (vanishing): {error}")
            results.append((name, found, served))
            print(f"{'FAIL' if found else 'ok  '} {name}", flush=True)
        return results

    with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
        for results in pool.map(worker, range(options.jobs)):
            for name, found, served in results:
                failures += found
                costs[name] = served
    if options.costs:
        with open(options.costs, "w") as out:
            json.dump(costs, out, indent=2, sort_keys=True)
    for failure in refusals + failures:
        print(failure, file=sys.stderr)
    print(f"{len(todo) - len({f.split(':')[0] for f in failures})} of {len(todo)} topologies agree")
    return 1 if refusals or failures else 0


if __name__ == "__main__":
    sys.exit(main())
