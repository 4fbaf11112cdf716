#!/usr/bin/python3
"""Drives the app's tray item over D-Bus the way a panel does: it finds the item
through org.kde.StatusNotifierWatcher, reads the item's org.kde.StatusNotifierItem
properties (its menu's object path and its icon) and works the exported
com.canonical.dbusmenu menu: AboutToShow, GetLayout and Event(id, "clicked").

As a module (python3-dbus, no main loop needed):

    app = TrayApp.find()              # waits for exactly one registered item
    app.entries()                     # [(id, label, enabled), ...], top level, in order;
                                      # a separator is an entry whose label is ""
    app.status()                      # the first entry's label: the status line
    app.click("Start Agent")
    app.wait_status("Status: Local agent running", 30)
    app.icon_sizes()                  # [(width, height), ...] of IconPixmap

As a command, on the session bus of $DBUS_SESSION_BUS_ADDRESS:

    tray_protocol.py entries            one line per entry: id, 1 or 0 (enabled), label,
                                        separated by tabs; a separator's label is empty
    tray_protocol.py status
    tray_protocol.py click LABEL
    tray_protocol.py wait-status TEXT SECONDS
    tray_protocol.py icon-sizes         one WIDTHxHEIGHT line per pixmap
    tray_protocol.py items-count        how many items the watcher lists now (no wait)

On failure it prints one line to standard error and exits with status 1.
"""

import sys
import time

import dbus

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
ITEM_PATH = "/StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"
# What an item without a menu names as its menu, by the protocol's convention.
NO_MENU_PATHS = ("", "/", "/NO_DBUSMENU")
POLL_SECONDS = 0.1


class TrayError(Exception):
    """The tray item is missing or does not behave as a panel expects."""


def registered_items(bus):
    """The watcher's RegisteredStatusNotifierItems, as it lists them now."""
    try:
        watcher = bus.get_object(WATCHER, WATCHER_PATH)
        items = dbus.Interface(watcher, PROPERTIES).Get(WATCHER, "RegisteredStatusNotifierItems")
    except dbus.exceptions.DBusException as error:
        raise TrayError(f"no StatusNotifierWatcher answers on the session bus: {error.get_dbus_message() or error}")
    return [str(item) for item in items]


def item_address(entry):
    """A watcher entry is a bus name, or a bus name followed by the object path."""
    slash = entry.find("/")
    if slash < 0:
        return entry, ITEM_PATH
    return entry[:slash], entry[slash:]


class TrayApp:
    """One registered tray item and its menu."""

    def __init__(self, bus, service, path):
        self.bus = bus
        self.service = service
        self.path = path

    @classmethod
    def find(cls, bus=None, timeout=15):
        """Waits until the watcher lists an item; raises unless it lists exactly one."""
        bus = bus or dbus.SessionBus()
        deadline = time.monotonic() + timeout
        while True:
            try:
                items = registered_items(bus)
            except TrayError:
                items = None  # the panel's watcher may still be starting
            if items:
                break
            if time.monotonic() > deadline:
                if items is None:
                    registered_items(bus)  # raises, saying why
                raise TrayError(f"no tray item registered within {timeout} s")
            time.sleep(POLL_SECONDS)
        if len(items) != 1:
            raise TrayError(f"{len(items)} tray items registered, not 1: {', '.join(items)}")
        return cls(bus, *item_address(items[0]))

    def _item_property(self, name):
        item = self.bus.get_object(self.service, self.path)
        return dbus.Interface(item, PROPERTIES).Get(ITEM, name)

    def _menu(self):
        path = str(self._item_property("Menu"))
        if path in NO_MENU_PATHS:
            raise TrayError(f"the tray item {self.service} exports no menu (Menu is '{path}')")
        return dbus.Interface(self.bus.get_object(self.service, path), MENU)

    def entries(self):
        """The top-level menu as (id, label, enabled), in order; separators have label ""."""
        menu = self._menu()
        menu.AboutToShow(dbus.Int32(0))  # a panel asks first, so the app may update the menu
        _revision, (_root, _properties, children) = menu.GetLayout(
            dbus.Int32(0), dbus.Int32(1), dbus.Array([], signature="s"))
        entries = []
        for child in children:
            entry_id, properties = int(child[0]), child[1]
            if not bool(properties.get("visible", True)):
                continue
            separator = str(properties.get("type", "standard")) == "separator"
            label = "" if separator else str(properties.get("label", ""))
            entries.append((entry_id, label, bool(properties.get("enabled", True))))
        if not entries:
            raise TrayError(f"the tray item {self.service} has an empty menu")
        return entries

    def status(self):
        return self.entries()[0][1]

    def click(self, label):
        """Chooses the enabled entry with this label, as a click in the open menu does."""
        entries = self.entries()
        matches = [entry for entry in entries if entry[1] == label]
        if not matches:
            raise TrayError(f"no menu entry '{label}' among: {', '.join(e[1] for e in entries if e[1])}")
        entry_id, _, enabled = matches[0]
        if not enabled:
            raise TrayError(f"the menu entry '{label}' is disabled")
        self._menu().Event(dbus.Int32(entry_id), "clicked", dbus.Int32(0), dbus.UInt32(int(time.time())),
                           signature="isvu")

    def wait_status(self, text, timeout):
        """Waits until the status line reads `text`; raises with what it read last."""
        deadline = time.monotonic() + timeout
        while True:
            status = self.status()
            if status == text:
                return
            if time.monotonic() > deadline:
                raise TrayError(f"the status line reads '{status}' after {timeout} s, not '{text}'")
            time.sleep(POLL_SECONDS)

    def icon_sizes(self):
        return [(int(width), int(height)) for width, height, _ in self._item_property("IconPixmap")]


def main(argv):
    command, arguments = (argv[1], argv[2:]) if len(argv) > 1 else ("", [])
    arity = {"entries": 0, "status": 0, "click": 1, "wait-status": 2, "icon-sizes": 0, "items-count": 0}
    if arity.get(command) != len(arguments):
        print("usage: tray_protocol.py entries | status | click LABEL | wait-status TEXT SECONDS"
              " | icon-sizes | items-count", file=sys.stderr)
        return 2
    try:
        if command == "items-count":
            print(len(registered_items(dbus.SessionBus())))
            return 0
        app = TrayApp.find()
        if command == "entries":
            for entry_id, label, enabled in app.entries():
                print(f"{entry_id}\t{int(enabled)}\t{label}")
        elif command == "status":
            print(app.status())
        elif command == "click":
            app.click(arguments[0])
        elif command == "wait-status":
            app.wait_status(arguments[0], float(arguments[1]))
        elif command == "icon-sizes":
            for width, height in app.icon_sizes():
                print(f"{width}x{height}")
    except (TrayError, dbus.exceptions.DBusException, ValueError) as error:
        message = error.get_dbus_message() if isinstance(error, dbus.exceptions.DBusException) else None
        print(f"tray_protocol: {command}: {message or error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
