#!/usr/bin/python3
"""Reads and drives the panel over AT-SPI, as a screen reader does.

usage: atspi_probe.py APP tree               one line per control: role|name|value|states
       atspi_probe.py APP set NAME VALUE     sets the value of the control named NAME
       atspi_probe.py APP act NAME ACTION    does the action ACTION (e.g. toggle) of NAME

APP is the accessible name of the application. Exits 1 with a message when the application or
the control is not found within five seconds, or the control lacks the interface asked of it.
"""
import sys
import time
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

# The interface getters used here are the ones Debian 12's library offers; newer ones call them
# deprecated.
warnings.simplefilter("ignore", DeprecationWarning)

STATES = (("checked", Atspi.StateType.CHECKED), ("focusable", Atspi.StateType.FOCUSABLE),
          ("focused", Atspi.StateType.FOCUSED))


def find_application(name):
    for _ in range(100):
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == name:
                return app
        time.sleep(0.05)
    sys.exit("no application named %r on the accessibility bus" % name)


def descendants(node):
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is None:
            continue
        yield child
        yield from descendants(child)


def describe(node):
    value = node.get_value_iface()
    shown = ""
    if value is not None:
        shown = "%g..%g=%g" % (value.get_minimum_value(), value.get_maximum_value(),
                               value.get_current_value())
    states = node.get_state_set()
    flags = ",".join(n for n, s in STATES if states.contains(s))
    return "%s|%s|%s|%s" % (node.get_role_name(), node.get_name(), shown, flags)


def control(app, name, interface):
    """The first control named NAME that offers INTERFACE (a caption label may share the name)."""
    for node in descendants(app):
        if node.get_name() == name and interface in node.get_interfaces():
            return node
    sys.exit("no control named %r with the %s interface" % (name, interface))


def main(argv):
    Atspi.init()
    app = find_application(argv[1])
    command = argv[2]
    if command == "tree":
        for node in descendants(app):
            print(describe(node))
    elif command == "set":
        node = control(app, argv[3], "Value")
        value = node.get_value_iface()
        value.set_current_value(float(argv[4]))
        # The answer to the setting says nothing reliable; the value read back does.
        if value.get_current_value() != float(argv[4]):
            sys.exit("%r took no value: %s" % (argv[3], describe(node)))
    elif command == "act":
        action = control(app, argv[3], "Action").get_action_iface()
        names = [action.get_action_name(i) for i in range(action.get_n_actions())]
        wanted = [i for i, n in enumerate(names) if n.lower() == argv[4].lower()]
        if not wanted:
            sys.exit("%r has no action %r, only %r" % (argv[3], argv[4], names))
        action.do_action(wanted[0])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
