#!/usr/bin/env bash
# Runs a command in a Wine session of its own: any wineserver left from before
# (started without this display, its desktop unable to make windows) is ended,
# a fresh one is kept up for the length of the command, and ended after it.
# Run it inside xvfb-run so that the session's desktop has a display.
export WINEDEBUG=-all
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w 2>/dev/null || true
/usr/lib/wine/wineserver -p
# Wine's background services start with the first program of a session and
# keep its standard handles; started here, with none, they hold no test's pipe.
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
"$@"
status=$?
/usr/lib/wine/wineserver -k 2>/dev/null || true
exit $status
