#!/usr/bin/python3
"""Finds the app's top-level windows on an X display by title and ends them from
outside, for drivers that run without a window manager (python3-xlib).

    screen = Screen()                 # $DISPLAY
    screen.windows("Kestrune")        # viewable top-level windows titled so, oldest first
    screen.close(window)              # as a window manager closes it: WM_DELETE_WINDOW
    screen.destroy(window)            # destroyed by another client (xdotool's windowclose)

`xdotool windowclose` destroys the window rather than asking its program to close it.
"""


from Xlib import X, display, protocol


class Screen:
    def __init__(self, name=None):
        self.display = display.Display(name)
        self.root = self.display.screen().root
        self.atom = self.display.intern_atom

    def _title(self, window):
        name = window.get_full_property(self.atom("_NET_WM_NAME"), self.atom("UTF8_STRING"))
        return name.value.decode("utf-8", "replace") if name else window.get_wm_name()

    def windows(self, title):
        found = []
        for window in self.root.query_tree().children:  # bottom to top: the oldest first
            try:
                if window.get_attributes().map_state == X.IsViewable and self._title(window) == title:
                    found.append(window)
            except Exception:  # gone meanwhile
                continue
        return found

    def close(self, window):
        message = protocol.event.ClientMessage(window=window, client_type=self.atom("WM_PROTOCOLS"),
                                               data=(32, [self.atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        window.send_event(message)
        self.display.sync()

    def destroy(self, window):
        window.destroy()
        self.display.sync()

