"""AT-SPI helpers for the tests that read and drive the programs as a screen reader does.
Every wait is bounded; a failure prints its reason and exits 1."""
import sys
import time

import pyatspi

TIMEOUT = 20.0
APP_NAMES = ("vorelin-inbox", "Vorelin")


def fail(reason):
    print("FAIL: " + reason)
    sys.exit(1)


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    try:
        count = node.childCount
    except Exception:
        return
    for i in range(min(count, 500)):
        try:
            child = node.getChildAtIndex(i)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name in APP_NAMES:
            return app
    return None


def applications():
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    return [app for app in apps if app is not None and app.name in APP_NAMES]


# Every application by those names: the messenger's window may be on the bus beside the inbox.
def top_windows(prefix):
    found = []
    for app in applications():
        for i in range(app.childCount):
            window = app.getChildAtIndex(i)
            if window is not None and window.name.startswith(prefix):
                states = window.getState()
                if states.contains(pyatspi.STATE_SHOWING):
                    found.append(window)
    return found


def wait_for(what, probe):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        try:
            result = probe()
        except Exception:
            result = None
        if result:
            return result
        time.sleep(0.1)
    fail("timed out waiting for " + what)


def text_of(node):
    try:
        text = node.queryText()
        return text.getText(0, text.characterCount)
    except NotImplementedError:
        return node.name


def named(window, name, roles=None):
    for node in walk(window):
        if node.name == name and (roles is None or node.getRole() in roles):
            return node
    return None


def described(window, description):
    for node in walk(window):
        if node.description == description:
            return node
    return None


def press(window, name):
    button = named(window, name, (pyatspi.ROLE_PUSH_BUTTON,))
    if button is None:
        fail("no button named " + name)
    press_button(button)


def press_button(button):
    action = button.queryAction()
    for i in range(action.nActions):
        if action.getName(i) in ("Press", "press", "click"):
            action.doAction(i)
            return
    action.doAction(0)
