"""What a run should do, worked out from the sample products and the made-up machine alone:
which installed products the survey records, and which offers the selection rules propose.

This is a second, deliberately plain reading of the selection and survey rules, written for
the sample offers only (their names always look like Family-major.minor[-hostVERSION]_build-...).
It shares no code with the installer; when the two disagree the end-to-end test fails.
"""

import re

# "TessalineForMaya-25.1-maya2024_2301450-win64.msi" -> host Maya, host version 2024
BRIDGE_NAME = re.compile(r"^TessalineFor([A-Za-z]+)-\d+\.\d+(?:-[A-Za-z]+(\d[\d.]*))?_")
# The survey knows a Maya version in a bridge folder name only for 2011..2019.
SURVEY_MAYA_VERSION = re.compile(r"(201[1-9]\.?[0-9]?)")

NOT_SELECTED, SELECTED, ALREADY = "not selected", "selected", "already installed"


def label(offer):
    return offer.get("simpleName") or offer["name"]


def version(offer):
    return "%s.%s" % (offer["versionMajor"], offer["versionMinor"])


class Machine:
    """Host applications and installed Tessaline products, as the survey should see them."""

    def __init__(self, hosts, installed=()):
        self.hosts = {k: list(v) for k, v in hosts.items()}  # "Maya": ["2024", "2025"]
        self.installed = list(installed)  # dicts: ProductName, Version, BuildId

    def install_folder(self, folder, product_version, build):
        """Adds the record the survey makes of a product folder below Orrel, if any."""
        name = folder.split("/")[-1]
        if re.search(r"[Tt]essaline.*[sS]erver|TWS", name):
            record = "Tessaline Workserver %s" % product_version
        elif re.search(r"[Tt]essaline.*[fF]or[Mm]aya|TFM", name):
            maya = SURVEY_MAYA_VERSION.search(name)
            record = ("Tessaline %s for Maya %s" % (product_version, maya.group(1)) if maya
                      else "Tessaline for Maya %s" % product_version)
        else:
            return  # Houdini and Katana bridges and the queue manager are not surveyed
        # A reinstall into the same folder replaces what the survey reads there.
        self.installed = [r for r in self.installed if r["Folder"] != name]
        self.installed.append({"ProductName": record, "Version": product_version,
                               "BuildId": int(build), "Folder": name})

    def find_installed(self, pattern, wanted_version):
        best = None
        for r in self.installed:
            if re.search(pattern, r["ProductName"]) and wanted_version in ("", r["Version"]):
                if r["BuildId"] > 0 and (best is None or r["BuildId"] > best["BuildId"]):
                    best = r
        return best


def choose(offers, machine):
    """Returns (chosen offers in decision order, decisions by offer file name)."""
    chosen, decisions = [], {}

    def pick(offer, why):
        chosen.append(offer)
        decisions[offer["file"]] = why

    def workserver(group):
        ws = next((o for o in group if "Workserver" in label(o)), None)
        if ws is None:
            return NOT_SELECTED
        have = machine.find_installed("Workserver", version(ws))
        if have is None or int(ws["buildId"]) > have["BuildId"]:
            pick(ws, SELECTED)
            return SELECTED
        decisions[ws["file"]] = ALREADY if int(ws["buildId"]) == have["BuildId"] else NOT_SELECTED
        return decisions[ws["file"]]

    def bridge(offer, host, host_version):
        offer_version = version(offer) + offer.get("versionBeta", "")
        have = machine.find_installed(host + ".*" + host_version.replace(".", r"\."),
                                      offer_version)
        if have is not None and have["BuildId"] == int(offer["buildId"]):
            decisions[offer["file"]] = ALREADY
            return
        present = machine.hosts.get(host, [])
        if present and (not host_version or host_version in present):
            pick(offer, SELECTED)

    groups = {}
    for offer in offers:
        builds = groups.setdefault(offer["versionMajor"], {})
        builds.setdefault(offer["buildId"], []).append(offer)
    for n, major in enumerate(sorted(groups, reverse=True)):  # text order, "9" before "24"
        if n > 0 and not any(r["ProductName"].startswith("Tessaline Workserver")
                             and r["Version"].split(".")[0] == major
                             for r in machine.installed):
            continue
        group = groups[major][max(groups[major])]  # newest build id, compared as text
        if workserver(group) == NOT_SELECTED:
            continue
        for offer in group:
            m = BRIDGE_NAME.match(offer["name"])
            if m:
                bridge(offer, m.group(1), m.group(2) or "")

    for offer in offers:
        if offer not in chosen and offer.get("defaultBehavior") == "show":
            pick(offer, "shown")
    return chosen, decisions
