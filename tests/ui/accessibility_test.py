#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# Reads the window the way a screen reader does, over AT-SPI: every control
# has a name, the descriptions are plain text, and the link indicator says in
# words that the simulated board is attached.
#
#   accessibility_test.py QUORVEL   (run on a display: scripts/with-desktop.sh)
#
# Exits 77, CTest's "skipped", without python3-pyatspi, at-spi2-core or
# dbus-run-session (scripts/install-deps.sh installs them).
import os
import shutil
import subprocess
import sys
import tempfile
import time

BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
# Markup in a device's own description must reach the screen reader as text.
DESCRIPTION = "Board <b>A</b> & co"


def skip(why):
    print(f"accessibility_test: {why}", file=sys.stderr)
    sys.exit(77)


def fail(why):
    print(f"accessibility_test: FAIL: {why}", file=sys.stderr)
    sys.exit(1)


if len(sys.argv) != 2:
    print("usage: accessibility_test.py QUORVEL", file=sys.stderr)
    sys.exit(2)

# Debian's pyatspi is installed for the system's Python, which a python3
# earlier in PATH (a virtualenv, pyenv) may not be.
SYSTEM_PYTHON = "/usr/bin/python3"
try:
    import pyatspi
except ImportError:
    if os.path.realpath(sys.executable) == os.path.realpath(SYSTEM_PYTHON) or not os.access(SYSTEM_PYTHON, os.X_OK):
        skip("python3-pyatspi is not installed")
    os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, *sys.argv])

# A private session bus, so the test neither needs nor disturbs a desktop's own.
if "QUORVEL_A11Y_SESSION" not in os.environ:
    if shutil.which("dbus-run-session") is None:
        skip("dbus-run-session is not installed")
    if not os.access(BUS_LAUNCHER, os.X_OK):
        skip("at-spi2-core is not installed")
    os.environ["QUORVEL_A11Y_SESSION"] = "1"
    os.execvp("dbus-run-session", ["dbus-run-session", "--", sys.executable, *sys.argv])

started = time.monotonic()
home = tempfile.mkdtemp()
# Qt exposes its tree only when a screen reader is said to run, or with this.
env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
           QUORVEL_SETTINGS=os.path.join(home, "Settings.ini"), HOME=home)
# Starts the accessibility bus (at-spi-bus-launcher, by D-Bus activation) and its
# registry first: Qt looks for the bus when the program starts.
pyatspi.Registry.getDesktop(0)
program = subprocess.Popen(
    [sys.argv[1], "--simulate", f"family=STM32F4XX,serial=A,description={DESCRIPTION}"], env=env)


def wait_for(what, probe, seconds=20):
    """Polls `probe` until it returns something true; the machine may be busy."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            found = probe()
        except Exception:  # the tree changes under us while the window builds
            found = None
        if found:
            return found
        time.sleep(0.1)
    fail(f"no {what} after {seconds} s")


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    return next((a for a in desktop if a is not None and a.name == "Quorvel"), None)


def controls(node):
    """Every showing object under `node`, read afresh rather than from a cache."""
    node.clear_cache()
    for child in node:
        if child is None:
            continue
        if child.getState().contains(pyatspi.STATE_SHOWING):
            yield child
        yield from controls(child)


def find(app, name, role):
    return next((c for c in controls(app) if c.name == name and c.getRole() == role), None)


try:
    app = wait_for("application on the accessibility bus", application)
    # The simulated board is present, so the window opens it on its own.
    wait_for("attached link", lambda: find(app, "USB link: attached", pyatspi.ROLE_PUSH_BUTTON))

    named_roles = {pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_PROGRESS_BAR,
                   pyatspi.ROLE_TEXT, pyatspi.ROLE_CHECK_BOX}
    unnamed = [c.getRoleName() for c in controls(app) if c.getRole() in named_roles and not c.name]
    if unnamed:
        fail(f"controls without a name: {unnamed}")

    # (name, role, description); None: any description, but no markup.
    expected = [
        # The description comes from the tooltip.
        ("USB link: attached", pyatspi.ROLE_PUSH_BUTTON, "USB link: attached"),
        ("Connect", pyatspi.ROLE_PUSH_BUTTON, "Connect to MCU"),
        ("Browse for HEX", pyatspi.ROLE_PUSH_BUTTON, "Choose HEX file"),
        ("Begin uploading", pyatspi.ROLE_PUSH_BUTTON, "Start bootloader"),
        ("Bootloading progress bar", pyatspi.ROLE_PROGRESS_BAR, "0 %"),
        ("History Window", pyatspi.ROLE_TEXT, None),
        ("Terminal Activity", pyatspi.ROLE_TEXT, None),
    ]

    def check(name, role, description):
        found = find(app, name, role)
        if found is None:
            fail(f'no {role} named "{name}"')
        if description is not None and found.description != description:
            fail(f'"{name}" is described as "{found.description}", not "{description}"')
        if "<" in found.description.replace(DESCRIPTION, ""):
            fail(f'"{name}" has markup in its description: "{found.description}"')

    for row in expected:
        check(*row)

    # A list's name is its current item (Qt on Linux); its caption is the label
    # it is labelled by; the description is the item as text, not tooltip markup.
    lists = {}
    for c in controls(app):
        if c.getRole() != pyatspi.ROLE_COMBO_BOX:
            continue
        for relation in c.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                lists[relation.getTarget(0).name] = c
    for caption, item in (("Device", DESCRIPTION), ("MCU Type", "STM32F4XX")):
        if caption not in lists:
            fail(f'no list labelled "{caption}": {sorted(lists)}')
        if (lists[caption].name, lists[caption].description) != (item, item):
            fail(f'the {caption} list reads "{lists[caption].name}", "{lists[caption].description}"')
    print(f"accessibility_test: passed in {time.monotonic() - started:.1f} s")
finally:
    program.terminate()
    try:
        program.wait(timeout=10)
    except subprocess.TimeoutExpired:
        program.kill()
    shutil.rmtree(home, ignore_errors=True)
