#!/usr/bin/env bash
# Makes the Wine prefix of the tests that show windows (WINEPREFIX). No window manager runs on the tests'
# X servers: Wine draws the windows' frames and captions itself, and leaves its windows unmanaged, or it
# would wait two seconds for a manager each time it hides one.
set -eu
: "${WINEPREFIX:?}" "${ZEP_WINE64:?}" "${ZEP_WINESERVER:?}"
unset DISPLAY
"$ZEP_WINE64" wineboot -i
"$ZEP_WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f
"$ZEP_WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
"$ZEP_WINESERVER" -w
