#!/usr/bin/env python3
"""The real-path cost table of docs/performance.md: per topology, the opens and USB requests
the simulated driver served to one detection (differential.py --costs), against the floor and
against the sequence of calls that the tree build's description implies.

    costs_table.py COSTS.json [--model MODEL.json] TOPOLOGY...

MODEL.json (keldar_model_costs TOPOLOGY...) gives what the same detection asks on the model
platform, shown beside the simulator's counts.

The floor: one open per controller and per hub, one request per record (node information per
hub, connection information per port) and per name (driver key of each controller and attached
device, root hub name, attached hub name), every name fetched in one call.

The described sequence: each controller opens its root hub twice (constructor, then again for
the node-table row), and asks its root hub name four times (constructor, child test, second
opening, label) and its driver key twice (item text, label); each attached hub is opened twice
and named three times (constructor, second opening, label); each attached device's driver key
is asked twice (item text, label), a hub's once. A name costs two calls (probe, fetch) unless the
probe fails or announces no name (an empty name is none). One difference from the description is counted as the program
behaves: a failed connection query leaves the port empty instead of ending the process.
"""
import json
import sys

MAX_NAME_REPLY = 0x10000  # the product's bound on a name reply (kMaxNameReplySize)


def name_calls(text, fault, per_connection, empty_is_none):
    """(calls, name or None) of one probe-then-fetch name query."""
    header = 8 if per_connection else 4
    probe = header + 2
    if text is None:
        return 1, None
    units = len(text.encode("utf-16-le")) // 2
    actual = header + 2 * (units + 1)
    fault = fault or "none"
    if fault == "probeFails" and probe < actual:
        return 1, None
    if fault == "fetchFails" and probe >= actual:
        return 1, None
    actual = {"absurdLength": 0x7FFFFFF0, "bareHeader": header + 2, "shortLength": header,
              "oddLength": header + 2 * units + 1, "noTerminator": header + 2 * units}.get(fault, actual)
    if actual < probe or actual % 2 or actual > MAX_NAME_REPLY:
        return 1, None
    if empty_is_none and actual == probe:
        return 1, None
    if fault == "fetchFails":
        return 2, None
    return 2, ("" if fault == "bareHeader" else text)


class Walk:
    def __init__(self, topology):
        self.opens = self.requests = 0
        hubs = {}

        def collect(hub):
            if hub.get("name"):
                hubs[hub["name"].upper()] = hub
            for port in hub.get("ports", []):
                if "hub" in port.get("device", {}):
                    collect(port["device"]["hub"])
        for controller in topology["controllers"]:
            if controller.get("rootHub"):
                collect(controller["rootHub"])
        self.hubs = hubs

    def name(self, text, fault, per_connection, empty_is_none):
        calls, result = name_calls(text, fault, per_connection, empty_is_none)
        self.requests += calls
        return result

    def open_hub(self, name):
        """Opens a hub by name and reads its node information: its port count, or None."""
        if not name:
            return None
        hub = self.hubs.get(name.upper())
        if hub is None or hub.get("faults", {}).get("openFails"):
            return None
        self.opens += 1
        self.requests += 1
        if hub.get("faults", {}).get("nodeInfoFails"):
            return None
        return hub["hubDescriptor"]["bNumberOfPorts"]

    def ports(self, hub, count):
        listed = {port["port"]: port for port in hub.get("ports", [])}
        for number in range(1, count + 1):
            self.port(listed.get(number, {"port": number}))

    def port(self, port):
        self.requests += 1  # connection information
        faults = port.get("faults", {})
        if faults.get("connectionInfoFails"):
            return
        device = port.get("device")
        status = port.get("connectionStatus", 1 if device else 0)
        hub = device.get("hub") if device else None
        hub_name = hub.get("name") if hub else None

        def query_hub_name():
            return self.name(hub_name if hub else "", faults.get("hubName"), True, True)
        if hub:
            self.open_hub(query_hub_name())
        if status == 0:
            return
        key = device.get("driverKey", "") if device else ""
        key_fault = faults.get("driverKeyName")
        if hub:
            self.name(key, key_fault, True, True)
            count = self.open_hub(query_hub_name())
            query_hub_name()
            if count:
                self.ports(hub, count)
        else:
            self.name(key, key_fault, True, True)
            self.name(key, key_fault, True, True)

    def run(self, topology):
        for controller in topology["controllers"]:
            faults = controller.get("faults", {})
            if faults.get("openFails"):
                break
            self.opens += 1
            root = controller.get("rootHub")
            root_name = root["name"] if root else None

            def query_root_name():
                return self.name(root_name, faults.get("rootHubName"), False, True)
            self.open_hub(query_root_name())
            for _ in range(2):
                self.name(controller.get("driverKey", ""), faults.get("driverKeyName"), False, True)
            if query_root_name() is None:
                continue
            count = self.open_hub(query_root_name())
            query_root_name()
            if count and root:
                self.ports(root, count)
        return self.opens, self.requests


class NowWalk(Walk):
    """The sequence as the walk now asks it: each controller and hub opened once, each record
    and name asked once (a name still probe then fetch), a request that failed not asked again."""

    def port(self, port):
        self.requests += 1  # connection information
        faults = port.get("faults", {})
        if faults.get("connectionInfoFails"):
            return
        device = port.get("device")
        status = port.get("connectionStatus", 1 if device else 0)
        hub = device.get("hub") if device else None
        count = None
        if hub:
            count = self.open_hub(self.name(hub.get("name"), faults.get("hubName"), True, True))
        if status == 0:
            return
        self.name(device.get("driverKey", "") if device else "", faults.get("driverKeyName"),
                  True, True)
        if hub and count:
            self.ports(hub, count)

    def run(self, topology):
        for controller in topology["controllers"]:
            faults = controller.get("faults", {})
            if faults.get("openFails"):
                break
            self.opens += 1
            self.name(controller.get("driverKey", ""), faults.get("driverKeyName"), False, True)
            root = controller.get("rootHub")
            count = self.open_hub(self.name(root["name"] if root else None,
                                            faults.get("rootHubName"), False, True))
            if count and root:
                self.ports(root, count)
        return self.opens, self.requests


def floor(topology):
    opens = requests = 0

    def hub_floor(hub):
        nonlocal opens, requests
        opens += 1
        requests += 1 + hub["hubDescriptor"]["bNumberOfPorts"]
        for port in hub.get("ports", []):
            device = port.get("device")
            if device:
                requests += 1 + (1 if "hub" in device else 0)
                if "hub" in device:
                    hub_floor(device["hub"])
    for controller in topology["controllers"]:
        opens += 1
        requests += 2
        if controller.get("rootHub"):
            hub_floor(controller["rootHub"])
    return opens, requests


def main():
    costs = json.load(open(sys.argv[1]))
    paths = sys.argv[2:]
    model = {}
    if paths[:1] == ["--model"]:
        model = json.load(open(paths[1]))
        paths = paths[2:]
    print("| topology | simulator opens | simulator requests | floor opens | floor requests | described opens | described requests "
          "| now opens | now requests | model opens | model requests |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for path in paths:
        name = path.rsplit("/", 1)[-1].removesuffix(".json")
        served = costs.get(name) or costs.get(name + "-without-unproducible-fault") or {}
        if not served:
            continue
        topology = json.load(open(path, encoding="utf-8"))
        requests = sum(v for k, v in served.items() if k not in ("Opens", "FailedOpens", "Closes"))
        described = Walk(topology).run(topology)
        least = floor(topology)
        now = NowWalk(topology).run(topology)
        on_model = model.get(name) or {}
        print(f"| {name} | {served['Opens']} | {requests} | {least[0]} | {least[1]} | "
              f"{described[0]} | {described[1]} | {now[0]} | {now[1]} | "
              f"{on_model.get('Opens', '—')} | {on_model.get('Requests', '—')} |")


if __name__ == "__main__":
    main()
