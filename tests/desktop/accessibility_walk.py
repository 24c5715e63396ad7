#!/usr/bin/env python3
"""Walks the program's window as a screen reader sees it, over AT-SPI.

    accessibility_walk.py <pid> <language> <qx-manager>

Checks, on each page: every control is named, no two controls share a name, Tab visits the
controls in reading order (top to bottom, left to right), Ctrl+Tab and Ctrl+PageDown change
pages, and a port made from outside is announced (the Status row's description changes).
Prints the controls it found per page. Exits 0 when every check holds, 1 when one fails, 77
when the window never appears on the accessibility bus.
"""
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

SKIP = 77
# Containers and parts of other controls that take the focus without being controls of their own.
NOT_CONTROLS = {pyatspi.ROLE_FILLER, pyatspi.ROLE_LIST, pyatspi.ROLE_LIST_ITEM,
                pyatspi.ROLE_PAGE_TAB_LIST, pyatspi.ROLE_LAYERED_PANE, pyatspi.ROLE_DIALOG}
KEY_TAB, KEY_PAGE_DOWN, KEY_PAGE_UP = 0xFF09, 0xFF56, 0xFF55
CONTROL_MASK = 1 << 2

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def eventually(find, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = find()
        if found:
            return found
        time.sleep(0.1)
    return None


def application(pid):
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except GLib.Error:
            pass
    return None


def has(obj, state):
    return obj.getState().contains(state)


def showing(obj):
    """The showing objects below obj, depth first; a combo box's list is a part of it."""
    for child in obj:
        if child is None or not has(child, pyatspi.STATE_SHOWING):
            continue
        yield child
        if child.getRole() != pyatspi.ROLE_COMBO_BOX:
            yield from showing(child)


def first(obj, role):
    return next((o for o in showing(obj) if o.getRole() == role), None)


def is_control(obj):
    return has(obj, pyatspi.STATE_FOCUSABLE) and obj.getRole() not in NOT_CONTROLS


def extents(obj):
    box = obj.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return box.x, box.y, box.width, box.height


def describe(obj):
    return "%s '%s'" % (obj.getRoleName(), obj.name)


def reads_after(a, b):
    """b comes after a read top to bottom and left to right: below it, or right of it on its line."""
    ax, ay, aw, ah = extents(a)
    bx, by, bw, bh = extents(b)
    if by >= ay + ah:
        return True
    same_line = by < ay + ah and ay < by + bh
    return same_line and bx >= ax + aw


class FocusWatch:
    """The control that last took the keyboard focus, as assistive technology hears of it
    (the focused state of objects that lost the focus is not always taken back)."""

    def __init__(self):
        self.now = None
        pyatspi.Registry.registerEventListener(self.heard, "object:state-changed:focused")

    def heard(self, event):
        if event.detail1 == 1:
            self.now = event.source

    def after(self, keysym, control=False):
        """Presses a key and returns what has the focus once the events have come in."""
        self.now = None
        if control:
            pyatspi.Registry.generateKeyboardEvent(CONTROL_MASK, None, pyatspi.KEY_LOCKMODIFIERS)
        pyatspi.Registry.generateKeyboardEvent(keysym, None, pyatspi.KEY_SYM)
        if control:
            pyatspi.Registry.generateKeyboardEvent(CONTROL_MASK, None,
                                                   pyatspi.KEY_UNLOCKMODIFIERS)
        # The focus may pass through more than one object: wait for the events to settle.
        context = GLib.MainContext.default()
        deadline = time.monotonic() + 3
        quiet_since = time.monotonic()
        while time.monotonic() < deadline:
            if context.iteration(False):
                quiet_since = time.monotonic()
            elif self.now is not None and time.monotonic() - quiet_since > 0.2:
                break
            else:
                time.sleep(0.01)
        return self.now


def shown_page(window):
    """The index of the page on show: the showing child of the pages' stack."""
    stack = first(window, pyatspi.ROLE_LAYERED_PANE)
    pages = [o for o in stack if o is not None]
    return next(i for i, page in enumerate(pages) if has(page, pyatspi.STATE_SHOWING))


def check_names(where, controls):
    names = [c.name for c in controls]
    print("%s (%d): %s" % (where, len(controls), " | ".join(describe(c) for c in controls)))
    for control in controls:
        if not control.name.strip():
            fail("%s: a %s has no name" % (where, control.getRoleName()))
    for name in sorted({n for n in names if names.count(n) > 1}):
        fail("%s: %d controls are named '%s'" % (where, names.count(name), name))


def tab_cycle(focus, where):
    """The controls Tab visits, once round, starting from the topmost."""
    stops = []
    for _ in range(60):
        now = focus.after(KEY_TAB)
        if now is None:
            fail("%s: Tab moved the focus nowhere" % where)
            return []
        if stops and now == stops[0]:
            break
        stops.append(now)
    top = min(range(len(stops)), key=lambda i: extents(stops[i])[1])
    return stops[top:] + stops[:top]


def check_page(window, focus, where):
    stack = first(window, pyatspi.ROLE_LAYERED_PANE)
    page = next(o for o in stack if o is not None and has(o, pyatspi.STATE_SHOWING))
    check_names(where, [o for o in showing(page) if is_control(o)])
    stops = tab_cycle(focus, where)
    for a, b in zip(stops, stops[1:]):
        if not reads_after(a, b):
            fail("%s: Tab goes from %s to %s" % (where, describe(a), describe(b)))
    print("%s, Tab order: %s" % (where, " > ".join(describe(s) for s in stops)))


def check_announcement(window, program):
    """A port made from outside changes the PTT/CW row's description, which is announced."""
    heard = []

    def listen(event):
        if "COM6" in (event.source.description or ""):
            heard.append(event.source.name)
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(listen, "object:property-change:accessible-description")
    subprocess.Popen([program, "--set-port", "QX4SIM0001", "PTTCW", "6"],
                     stdout=subprocess.DEVNULL)
    GLib.timeout_add_seconds(20, pyatspi.Registry.stop)
    pyatspi.Registry.start()
    pyatspi.Registry.deregisterEventListener(listen, "object:property-change:accessible-description")
    if not heard:
        fail("a port made from outside was not announced")
    else:
        print("announced: the description of '%s' changed" % heard[0])


def main():
    pid, language, program = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    app = eventually(lambda: application(pid))
    window = app and eventually(lambda: first(app, pyatspi.ROLE_DIALOG))
    if window is None:
        print("skipped: the window is not on the accessibility bus")
        return SKIP
    tabs = first(window, pyatspi.ROLE_PAGE_TAB_LIST)
    page_names = [t.name for t in tabs if t is not None and t.getRole() == pyatspi.ROLE_PAGE_TAB]
    stack = first(window, pyatspi.ROLE_LAYERED_PANE)
    around = [o for o in showing(window) if not stack_holds(stack, o) and
              (is_control(o) or o.getRole() == pyatspi.ROLE_PAGE_TAB)]
    check_names("%s window" % language, around)

    focus = FocusWatch()
    for index, name in enumerate(page_names):
        if shown_page(window) != index:
            fail("%s: page %s is not shown after changing pages" % (language, name))
        check_page(window, focus, "%s %s" % (language, name))
        # Ctrl+Tab moves on from the first page, Ctrl+PageDown from the others.
        focus.after(KEY_TAB if index == 0 else KEY_PAGE_DOWN, control=True)
    if shown_page(window) != 0:
        fail("%s: Ctrl+PageDown on the last page does not come back to the first" % language)
    focus.after(KEY_PAGE_UP, control=True)
    if shown_page(window) != len(page_names) - 1:
        fail("%s: Ctrl+PageUp does not show the page before" % language)

    check_announcement(window, program)
    print("%s: %d checks failed" % (language, len(failures)))
    return 1 if failures else 0


def stack_holds(stack, obj):
    while obj is not None:
        if obj == stack:
            return True
        obj = obj.parent
    return False


if __name__ == "__main__":
    sys.exit(main())
